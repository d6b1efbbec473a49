// Binds the files command handlers into the command table.
#include "service/dispatch.h"

namespace lenvaro {

void registerFileCommands(CommandTable& table) { static_cast<void>(table); }

}  // namespace lenvaro
