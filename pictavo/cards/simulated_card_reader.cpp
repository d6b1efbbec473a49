// The simulated card reader.
#include "pictavo/cards/simulated_card_reader.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "pictavo/cards/card_images.h"
#include "pictavo/file_ops.h"

namespace pictavo {
namespace {

// Writes `text` as UTF-16LE units from `byteOffset`; the rest of the field stays zero, so the
// text ends with its zero unit. Settings guarantee the text fits.
template <size_t N>
void putField(std::array<uint8_t, N>& record, size_t byteOffset, const std::u16string& text) {
    for (size_t i = 0; i < text.size() && byteOffset + 2 * i + 1 < N; ++i) {
        record[byteOffset + 2 * i] = static_cast<uint8_t>(text[i] & 0xFF);
        record[byteOffset + 2 * i + 1] = static_cast<uint8_t>(text[i] >> 8);
    }
}

// FNV-1a over the units: a stable seed for what is drawn or made up for one card.
uint32_t seedOf(const std::u16string& text) {
    uint32_t hash = 2166136261u;
    for (char16_t unit : text) {
        hash = (hash ^ (unit & 0xFF)) * 16777619u;
        hash = (hash ^ (unit >> 8)) * 16777619u;
    }
    return hash;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// The configured photo, which must be a bitmap: the reader hands out nothing else.
int readBitmapFile(const std::string& path, std::vector<uint8_t>& bytes) {
    struct stat info {};
    constexpr off_t kMaxPhotoBytes = 16 * 1024 * 1024;
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_size > kMaxPhotoBytes) {
        return kFileError;
    }
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) return kFileError;
    bytes.resize(static_cast<size_t>(info.st_size));
    if (std::fread(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) return kFileError;
    if (bytes.size() < 54 || bytes[0] != 'B' || bytes[1] != 'M') return kFileError;
    return kOk;
}


}  // namespace

std::array<uint8_t, 512> idFingerprintTemplate(const std::u16string& cardNumber, int index) {
    std::array<uint8_t, 512> bytes{};
    uint32_t state = seedOf(cardNumber) ^ (0x9E3779B9u * static_cast<uint32_t>(index + 1));
    if (state == 0) state = 1;
    bytes[0] = 'C';
    bytes[1] = 1;
    bytes[2] = static_cast<uint8_t>(index);
    bytes[3] = static_cast<uint8_t>(70 + state % 30);
    for (size_t i = 4; i < 510; ++i) {
        state ^= state << 13;  // xorshift32
        state ^= state >> 17;
        state ^= state << 5;
        bytes[i] = static_cast<uint8_t>(state >> 24);
    }
    uint32_t sum = 0;
    for (size_t i = 0; i < 510; ++i) sum += bytes[i];
    bytes[510] = static_cast<uint8_t>(sum & 0xFF);
    bytes[511] = static_cast<uint8_t>((sum >> 8) & 0xFF);
    return bytes;
}

SimulatedCardReader::SimulatedCardReader(CardSettings cards) : cards_(std::move(cards)) {}

int SimulatedCardReader::init() {
    starts_.fetch_add(1);
    return kOk;
}

int SimulatedCardReader::uninit() { return kOk; }

int SimulatedCardReader::readIdCard(IdCardRecord& record, const std::string& photoPath) {
    const IdCardSettings& card = cards_.idCard;
    if (!card.present) return kFailed;
    record.fill(0);
    for (size_t i = 0; i < card.fields.size(); ++i) {
        putField(record, kIdCardFieldOffsets[i], card.fields[i]);
    }
    if (photoPath.empty()) return kOk;
    std::vector<uint8_t> photo;
    if (card.photoFile.empty()) {
        photo = encodeCardBitmap(drawHolderPhoto(seedOf(card.fields[5])));
    } else if (const int status = readBitmapFile(card.photoFile, photo); status != kOk) {
        return status;
    }
    return writePrivateFile(photoPath, photo);
}

int SimulatedCardReader::saveIdCardImages(int type, const std::string& frontPath,
                                          const std::string& backPath) {
    if (frontPath.empty() || backPath.empty() || type < 0 || type > 2) return kInvalidArgument;
    const IdCardSettings& card = cards_.idCard;
    if (!card.present) return kFailed;
    return writeIdCardFaces(drawHolderPhoto(seedOf(card.fields[5])), card.fields,
                            static_cast<CardImageColours>(type), frontPath, backPath);
}

int SimulatedCardReader::readIdFingerprint(int index, IdFingerprintMessage& message, int& status) {
    if (index < 0 || index > 1) return kInvalidArgument;
    const IdCardSettings& card = cards_.idCard;
    if (!card.present || index >= card.fingerprints) return kFailed;
    message.fill(0);
    const std::array<uint8_t, 512> bytes = idFingerprintTemplate(card.fields[5], index);
    std::memcpy(message.data(), bytes.data(), bytes.size());
    status = 0;
    return kOk;
}

int SimulatedCardReader::readSocialCard(SocialCardRecord& record) {
    const SocialCardSettings& card = cards_.socialCard;
    if (!card.present) return kFailed;
    record.fill(0);
    for (size_t i = 0; i < card.fields.size(); ++i) {
        putField(record, kSocialCardFieldOffsets[i], card.fields[i]);
    }
    return kOk;
}

int SimulatedCardReader::readBankCard(BankCardText& text) {
    if (!cards_.bankCard.present) return kFailed;
    text.fill(0);
    putField(text, 0, cards_.bankCard.number);
    return kOk;
}

int SimulatedCardReader::readMagCard(MagCardRecord& record) {
    const MagCardSettings& card = cards_.magCard;
    if (!card.present) return kFailed;
    record.fill(0);
    for (size_t i = 0; i < card.tracks.size(); ++i) {
        putField(record, i * 2 * kMagCardTrackUnits, card.tracks[i]);
    }
    return kOk;
}

}  // namespace pictavo
