// Binds the recognition command handlers into the command table.
#include "service/dispatch.h"

namespace lenvaro {

void registerRecognitionCommands(CommandTable& table) { static_cast<void>(table); }

}  // namespace lenvaro
