// The file sign: key handling, marking and checking JPEG files.
#include "pictavo/camera/file_sign.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "common/jpeg_codec.h"
#include "pictavo/status.h"

namespace pictavo {
namespace {

constexpr size_t kKeyBytes = 32;
constexpr char kMarkPrefix[] = "pictavo-file-sign:v1:hmac-sha256:";
constexpr size_t kMarkPrefixLength = sizeof kMarkPrefix - 1;
constexpr size_t kDigestBytes = 32;

// A file descriptor closed on every path.
struct Descriptor {
    int fd;
    explicit Descriptor(int value) : fd(value) {}
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
};

bool makeDirectories(const std::string& directory) {
    if (directory.empty()) return true;
    struct stat info {};
    if (::stat(directory.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
    const size_t slash = directory.rfind('/');
    if (slash != std::string::npos && slash > 0 && !makeDirectories(directory.substr(0, slash)))
        return false;
    return ::mkdir(directory.c_str(), 0700) == 0 || errno == EEXIST;
}

int readKey(const std::string& path, std::vector<uint8_t>& key) {
    Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.fd < 0) return errno == ENOENT ? kFailed : kFileError;
    uint8_t buffer[kKeyBytes + 1];
    size_t got = 0;
    while (got < sizeof buffer) {
        const ssize_t n = ::read(file.fd, buffer + got, sizeof buffer - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    if (got != kKeyBytes) return kFileError;  // a key file of any other length is damaged
    key.assign(buffer, buffer + kKeyBytes);
    return kOk;
}

// Writes a fresh key beside `path` and links it into place, so that two processes creating the
// key at once end up with the same one.
int createKey(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos && !makeDirectories(path.substr(0, slash))) return kFileError;
    uint8_t key[kKeyBytes];
    if (RAND_bytes(key, static_cast<int>(kKeyBytes)) != 1) return kFileError;
    std::string temporary = path + ".XXXXXX";
    Descriptor file(::mkstemp(temporary.data()));
    if (file.fd < 0) return kFileError;
    bool written = ::fchmod(file.fd, 0600) == 0 &&
                   ::write(file.fd, key, kKeyBytes) == static_cast<ssize_t>(kKeyBytes) &&
                   ::fsync(file.fd) == 0;
    OPENSSL_cleanse(key, sizeof key);
    if (written && ::link(temporary.c_str(), path.c_str()) != 0 && errno != EEXIST) written = false;
    ::unlink(temporary.c_str());
    return written ? kOk : kFileError;
}

struct Segment {
    size_t offset;  // of its 0xFF
    size_t length;  // the whole segment, marker included
};

// The COM segments before the image data; false when the bytes are not a JPEG.
bool commentSegments(const std::vector<uint8_t>& jpeg, std::vector<Segment>& comments,
                     size_t& afterHeader) {
    if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) return false;
    size_t at = 2;
    afterHeader = 2;
    bool first = true;
    while (at + 1 < jpeg.size()) {
        if (jpeg[at] != 0xFF) return false;
        const uint8_t marker = jpeg[at + 1];
        if (marker == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        if (marker == 0xDA || marker == 0xD9) return true;  // image data or the end
        if ((marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) {
            at += 2;
            continue;
        }
        if (at + 3 >= jpeg.size()) return false;
        const size_t length = (static_cast<size_t>(jpeg[at + 2]) << 8 | jpeg[at + 3]) + 2;
        if (length < 4 || at + length > jpeg.size()) return false;
        if (marker == 0xFE) comments.push_back(Segment{at, length});
        // The mark goes after the JFIF segment, which must stay first.
        if (first && marker == 0xE0) afterHeader = at + length;
        first = false;
        at += length;
    }
    return false;
}

bool isMark(const std::vector<uint8_t>& jpeg, const Segment& segment) {
    return segment.length >= 4 + kMarkPrefixLength &&
           std::memcmp(jpeg.data() + segment.offset + 4, kMarkPrefix, kMarkPrefixLength) == 0;
}

bool digest(const std::vector<uint8_t>& key, const uint8_t* data, size_t size,
            uint8_t (&out)[kDigestBytes]) {
    unsigned int length = 0;
    return HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), data, size, out, &length) !=
               nullptr &&
           length == kDigestBytes;
}

std::string hex(const uint8_t* bytes, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

}  // namespace

std::string signKeyPath() {
    if (const char* file = std::getenv("PICTAVO_SIGN_KEY_FILE"); file != nullptr && *file != '\0')
        return file;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && *config == '/')
        return std::string(config) + "/pictavo/file-sign.key";
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
        return std::string(home) + "/.config/pictavo/file-sign.key";
    return "";
}

int loadOrCreateSignKey(const std::string& path, std::vector<uint8_t>& key) {
    if (path.empty()) return kFileError;
    int status = readKey(path, key);
    if (status == kFailed) {
        if (createKey(path) != kOk) return kFileError;
        status = readKey(path, key);
    }
    return status == kOk ? kOk : kFileError;
}

int signJpeg(std::vector<uint8_t>& jpeg, const std::vector<uint8_t>& key) {
    if (key.size() != kKeyBytes) return kFileError;
    std::vector<Segment> comments;
    size_t insertAt = 0;
    if (!commentSegments(jpeg, comments, insertAt)) return kInvalidArgument;
    for (const Segment& segment : comments) {
        if (isMark(jpeg, segment)) return kInvalidArgument;
    }
    uint8_t mac[kDigestBytes];
    if (!digest(key, jpeg.data(), jpeg.size(), mac)) return kFailed;
    const std::string payload = kMarkPrefix + hex(mac, sizeof mac);
    std::vector<uint8_t> segment = {0xFF, 0xFE, static_cast<uint8_t>((payload.size() + 2) >> 8),
                                    static_cast<uint8_t>((payload.size() + 2) & 0xFF)};
    segment.insert(segment.end(), payload.begin(), payload.end());
    jpeg.insert(jpeg.begin() + static_cast<long>(insertAt), segment.begin(), segment.end());
    return kOk;
}

int verifyJpeg(const std::vector<uint8_t>& jpeg, const std::vector<uint8_t>& key) {
    if (key.size() != kKeyBytes) return kFailed;
    std::vector<Segment> comments;
    size_t ignored = 0;
    if (!commentSegments(jpeg, comments, ignored)) return kFailed;
    const Segment* mark = nullptr;
    for (const Segment& segment : comments) {
        if (!isMark(jpeg, segment)) continue;
        if (mark != nullptr) return kFailed;  // two marks: not a file this library wrote
        mark = &segment;
    }
    if (mark == nullptr || mark->length != 4 + kMarkPrefixLength + 2 * kDigestBytes) return kFailed;

    std::vector<uint8_t> rest;
    rest.reserve(jpeg.size() - mark->length);
    rest.insert(rest.end(), jpeg.begin(), jpeg.begin() + static_cast<long>(mark->offset));
    rest.insert(rest.end(), jpeg.begin() + static_cast<long>(mark->offset + mark->length),
                jpeg.end());
    uint8_t mac[kDigestBytes];
    if (!digest(key, rest.data(), rest.size(), mac)) return kFailed;
    const std::string expected = hex(mac, sizeof mac);
    const uint8_t* stored = jpeg.data() + mark->offset + 4 + kMarkPrefixLength;
    return CRYPTO_memcmp(stored, expected.data(), expected.size()) == 0 ? kOk : kFailed;
}

int checkImageFileSign(const std::string& path, bool& isSigned) {
    std::vector<uint8_t> bytes;
    if (!lenvaro::jpeg::readBytes(path, bytes)) return kFileError;
    std::vector<uint8_t> key;
    // Without a key, nothing was ever signed here; the check creates none.
    const int keyStatus = readKey(signKeyPath(), key);
    if (keyStatus == kFailed) return kFailed;
    if (keyStatus != kOk) return kFileError;
    const int status = verifyJpeg(bytes, key);
    if (status == kOk) isSigned = true;
    return status;
}

}  // namespace pictavo
