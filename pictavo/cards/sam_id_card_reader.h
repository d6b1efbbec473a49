// Real ID card readers in front of the card reader behind them (the simulated one, or none).
// While a real reader is attached it alone answers the ID card: a reader without a card gives
// no card, never the simulated one. Every other card goes to the reader behind.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>

#include "pictavo/cards/card_images.h"
#include "pictavo/cards/card_reader.h"
#include "pictavo/cards/sam_readers.h"

namespace pictavo {

class SamIdCardReader final : public ForwardingCardReader {
  public:
    // A whole read (finding new readers, find, select, read, the photo) ends within this.
    static constexpr std::chrono::milliseconds kReadBudget{4800};
    // The maker's photo decoder gets at most this much of it.
    static constexpr std::chrono::milliseconds kPhotoDecodeTimeout{1500};
    // The card last read answers for its face images and fingerprints this long at most.
    static constexpr std::chrono::minutes kLastCardKept{5};

    SamIdCardReader(std::unique_ptr<SamReaders> readers, PhotoDecoderSettings decoder,
                    std::unique_ptr<CardReader> next);

    // Also forgets the card last read.
    int uninit() override;
    // Finds and selects the card first, so that a card taken off or replaced is never answered
    // for. Fields always come with the card; the photo only through the maker's decoder (none
    // configured, or one that fails: no photo, and no file left at the photo path).
    int readIdCard(IdCardRecord& record, const std::string& photoPath) override;
    // The faces and fingerprints of the card last read (a module reads a card once until it
    // leaves the field; the read with fingerprints brought them along).
    int saveIdCardImages(int type, const std::string& frontPath,
                         const std::string& backPath) override;
    int readIdFingerprint(int index, IdFingerprintMessage& message, int& status) override;

  private:
    struct LastCard {
        std::array<std::u16string, 9> fields;
        std::optional<CardImage> photo;
        Bytes fingerprints;
        SteadyTime readAt;
    };

    // The card last read, while it may still be answered for; null otherwise.
    const LastCard* lastCard();
    std::optional<CardImage> decodePhoto(const Bytes& encoded, SteadyTime until);

    const std::unique_ptr<SamReaders> readers_;
    const PhotoDecoderSettings decoder_;

    std::mutex mutex_;  // one read at a time; guards what follows
    std::optional<LastCard> last_;
};

}  // namespace pictavo
