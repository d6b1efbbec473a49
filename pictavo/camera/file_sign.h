// The file sign: an integrity mark on the JPEG files the library captures. An HMAC-SHA256 over
// the file's bytes (all of them but the mark itself), keyed with this installation's key and kept
// in a JPEG comment segment; any change to the file afterwards, to a pixel or a header byte,
// breaks it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pictavo {

// Where the installation's key lives: $PICTAVO_SIGN_KEY_FILE when set and not empty, else
// $XDG_CONFIG_HOME/pictavo/file-sign.key, else $HOME/.config/pictavo/file-sign.key; "" when
// none of these variables is set.
std::string signKeyPath();

// The 32-byte key from `path`, created with fresh random bytes (mode 0600) when the file does
// not exist yet. kOk, or kFileError when it can be neither read nor created.
int loadOrCreateSignKey(const std::string& path, std::vector<uint8_t>& key);

// Adds the mark to a JPEG held in memory (which must not carry one already). kOk, kFileError when
// the key is not at hand, kInvalidArgument when the bytes are not a JPEG.
int signJpeg(std::vector<uint8_t>& jpeg, const std::vector<uint8_t>& key);

// kOk when `jpeg` carries exactly one mark and it matches the rest of the bytes under `key`;
// kFailed otherwise (no mark, a broken one, not a JPEG).
int verifyJpeg(const std::vector<uint8_t>& jpeg, const std::vector<uint8_t>& key);

// camCheckImageFileSign: kOk (isSigned true) for an intact mark; kFailed for a file without an
// intact mark; kFileError when the file or the key cannot be read.
int checkImageFileSign(const std::string& path, bool& isSigned);

}  // namespace pictavo
