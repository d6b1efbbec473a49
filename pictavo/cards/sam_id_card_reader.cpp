// Real ID card readers in front of the simulated one.
#include "pictavo/cards/sam_id_card_reader.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <utility>

#include "pictavo/cards/id_photo_decoder.h"
#include "pictavo/file_ops.h"
#include "pictavo/problem_log.h"
#include "pictavo/status.h"

namespace pictavo {
namespace {

// The record's bytes from 476 on are the library's own: the additional address goes there,
// UTF-16 and zero-terminated, for callers that know to look.
constexpr size_t kAdditionalAddressOffset = 476;
constexpr size_t kAdditionalAddressUnits = 70;

void putAdditionalAddress(IdCardRecord& record, const Bytes& address) {
    std::u16string units;
    for (size_t i = 0; i + 1 < address.size(); i += 2) {
        units.push_back(static_cast<char16_t>(address[i] | address[i + 1] << 8));
    }
    units = cleanCardText(units).substr(0, kAdditionalAddressUnits - 1);
    for (size_t i = 0; i < units.size(); ++i) {
        record[kAdditionalAddressOffset + 2 * i] = static_cast<uint8_t>(units[i] & 0xFF);
        record[kAdditionalAddressOffset + 2 * i + 1] = static_cast<uint8_t>(units[i] >> 8);
    }
}

// A photo of an earlier card must not pass for this card's: with no photo to write, a file
// left at the path is removed (a link itself, never what it points to).
void removeEarlierPhoto(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0 && (S_ISREG(info.st_mode) || S_ISLNK(info.st_mode))) {
        ::unlink(path.c_str());
    }
}


}  // namespace

SamIdCardReader::SamIdCardReader(std::unique_ptr<SamReaders> readers,
                                 PhotoDecoderSettings decoder, std::unique_ptr<CardReader> next)
    : ForwardingCardReader(std::move(next)),
      readers_(std::move(readers)),
      decoder_(std::move(decoder)) {}

int SamIdCardReader::uninit() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        last_.reset();
    }
    return next().uninit();
}

int SamIdCardReader::readIdCard(IdCardRecord& record, const std::string& photoPath) {
    std::lock_guard<std::mutex> lock(mutex_);
    const SteadyTime start = std::chrono::steady_clock::now();
    const SteadyTime until = start + kReadBudget;
    // The modules get the budget but what the photo needs.
    const SteadyTime modulesUntil = until - kPhotoDecodeTimeout / 5;
    last_.reset();
    const std::vector<SamModule*> modules = readers_->look(modulesUntil);
    if (modules.empty()) return next().readIdCard(record, photoPath);

    SamCardData card;
    bool read = false;
    for (SamModule* module : modules) {
        const SamOutcome outcome = module->readCard(card, modulesUntil);
        if (outcome == SamOutcome::kGone) readers_->forget(module);
        if (outcome == SamOutcome::kRead) {
            read = true;
            break;
        }
    }
    if (!read) return kFailed;

    LastCard last;
    last.fields = idCardFields(card.text.data());
    last.fingerprints = std::move(card.fingerprints);
    last.readAt = std::chrono::steady_clock::now();
    if (!card.photo.empty()) last.photo = decodePhoto(card.photo, until);
    putIdCardFields(record, last.fields);
    putAdditionalAddress(record, card.additionalAddress);

    int status = kOk;
    if (!photoPath.empty()) {
        if (last.photo) {
            status = writePrivateFile(photoPath, encodeCardBitmap(*last.photo));
        } else {
            removeEarlierPhoto(photoPath);
        }
    }
    last_ = std::move(last);
    return status;
}

std::optional<CardImage> SamIdCardReader::decodePhoto(const Bytes& encoded, SteadyTime until) {
    if (decoder_.library.empty()) {
        reportProblemOnce(
            "pictavo: ID card photos are not decoded: no photo decoder is configured "
            "(cards.idReader.photoDecoder)");
        return std::nullopt;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    std::string problem;
    std::optional<CardImage> photo = decodeIdPhoto(
        decoder_, encoded, std::min(left, kPhotoDecodeTimeout), problem);
    if (!photo) reportProblemOnce("pictavo: no ID card photo: " + problem);
    return photo;
}

const SamIdCardReader::LastCard* SamIdCardReader::lastCard() {
    if (last_ && std::chrono::steady_clock::now() - last_->readAt > kLastCardKept) last_.reset();
    return last_ ? &*last_ : nullptr;
}

int SamIdCardReader::saveIdCardImages(int type, const std::string& frontPath,
                                      const std::string& backPath) {
    if (frontPath.empty() || backPath.empty() || type < 0 || type > 2) return kInvalidArgument;
    std::lock_guard<std::mutex> lock(mutex_);
    const LastCard* card = lastCard();
    if (card == nullptr) {
        return readers_->anyAttached() ? kFailed
                                       : next().saveIdCardImages(type, frontPath, backPath);
    }
    // Without a decoded photo its place stays blank.
    const CardImage photo =
        card->photo ? *card->photo : CardImage(kIdPhotoWidth, kIdPhotoHeight, kIdPhotoPixelsPerMetre);
    return writeIdCardFaces(photo, card->fields, static_cast<CardImageColours>(type), frontPath,
                            backPath);
}

int SamIdCardReader::readIdFingerprint(int index, IdFingerprintMessage& message, int& status) {
    if (index < 0 || index > 1) return kInvalidArgument;
    std::lock_guard<std::mutex> lock(mutex_);
    const LastCard* card = lastCard();
    if (card == nullptr) {
        return readers_->anyAttached() ? kFailed : next().readIdFingerprint(index, message, status);
    }
    constexpr size_t kRecord = 512;
    if (card->fingerprints.size() < kRecord * static_cast<size_t>(index + 1)) return kFailed;
    message.fill(0);
    std::memcpy(message.data(), card->fingerprints.data() + kRecord * static_cast<size_t>(index),
                kRecord);
    status = 0;
    return kOk;
}

}  // namespace pictavo
