// A card reader with the configured cards on it: the resident ID card (fields, photo, face
// images, fingerprint templates), the social-security card, the bank card and the magnetic
// stripe. A card that is not present answers kFailed and leaves every output alone.
#pragma once

#include <atomic>

#include "pictavo/cards/card_reader.h"
#include "pictavo/cards/card_settings.h"

namespace pictavo {

class SimulatedCardReader final : public CardReader {
  public:
    explicit SimulatedCardReader(CardSettings cards);

    int init() override;
    int uninit() override;
    // An empty photo path reads the card without writing a photo. A photo that cannot be
    // written (or a configured one that is no readable bitmap) answers kFileError with the
    // record filled all the same.
    int readIdCard(IdCardRecord& record, const std::string& photoPath) override;
    // `type` 0 colour, 1 grey, 2 black and white; both paths are needed.
    int saveIdCardImages(int type, const std::string& frontPath,
                         const std::string& backPath) override;
    // `index` 0 or 1; a card holding fewer templates answers kFailed for the missing ones.
    int readIdFingerprint(int index, IdFingerprintMessage& message, int& status) override;
    int readSocialCard(SocialCardRecord& record) override;
    int readBankCard(BankCardText& text) override;
    int readMagCard(MagCardRecord& record) override;

    // How often the reader was started; the simulation needs no start, but tests look.
    int starts() const { return starts_.load(); }

  private:
    // Fixed after construction, so reads need no lock.
    const CardSettings cards_;
    std::atomic<int> starts_{0};
};

// The 512 bytes of the template the ID card holds at `index`, made from the card's number: the
// same card always gives the same template. Bytes 0-3 are 'C', 1 (version), the index and a
// quality figure; the last two are the sum of all bytes before them, little-endian.
std::array<uint8_t, 512> idFingerprintTemplate(const std::u16string& cardNumber, int index);

}  // namespace pictavo
