// Binds the biometrics command handlers into the command table.
#include "biometrics/biometric_commands.h"

#include "service/dispatch.h"

namespace lenvaro {

void registerBiometricCommands(CommandTable& table) {
    registerFingerprintCommands(table);
    registerFaceCommands(table);
}

}  // namespace lenvaro
