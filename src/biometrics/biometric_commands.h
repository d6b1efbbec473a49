// The biometrics subsystem's handler groups, one per file.
#pragma once

namespace lenvaro {

class CommandTable;

// fingerprintInit, fingerprintUnInit, CollectFingerFeature, CompareFingerFeature,
// GetFingerprint, ContrastFingerprint, ContrastFingerprintBase64.
void registerFingerprintCommands(CommandTable& table);  // fingerprint_commands.cpp
// camInitFace, camUnInitFace, the four matching commands, camStartAsyMatchFaceBase64Video,
// camSetLivingBodyState.
void registerFaceCommands(CommandTable& table);  // face_commands.cpp

}  // namespace lenvaro
