// Binds the signpad command handlers into the command table.
#include "service/dispatch.h"

namespace lenvaro {

void registerSignpadCommands(CommandTable& table) { static_cast<void>(table); }

}  // namespace lenvaro
