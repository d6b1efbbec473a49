// The card readers: ID card (with its photo, page images and fingerprint messages), social
// security card, bank card and magnetic stripe.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "pictavo.h"
#include "pictavo/status.h"

namespace pictavo {

// The records exactly as the C interface lays them out (UTF-16LE fields at fixed offsets).
using IdCardRecord = std::array<uint8_t, PICTAVO_ID_CARD_RECORD_SIZE>;
using SocialCardRecord = std::array<uint8_t, PICTAVO_SOCIAL_CARD_RECORD_SIZE>;
using BankCardText = std::array<uint8_t, PICTAVO_BANK_CARD_TEXT_SIZE>;
using MagCardRecord = std::array<uint8_t, PICTAVO_MAG_CARD_RECORD_SIZE>;
using IdFingerprintMessage = std::array<uint8_t, 1024>;

// Called from any thread; implementations guard their own state. Every int result is a Status,
// and an output is only meaningful when the result is kOk.
class CardReader {
  public:
    virtual ~CardReader() = default;

    virtual int init() = 0;
    virtual int uninit() = 0;
    // Reads the ID card on the reader; writes its photo to `photoPath`. kFileError means the
    // card was read and `record` holds it, but the photo could not be written.
    virtual int readIdCard(IdCardRecord& record, const std::string& photoPath) = 0;
    virtual int saveIdCardImages(int type, const std::string& frontPath,
                                 const std::string& backPath) = 0;
    virtual int readIdFingerprint(int index, IdFingerprintMessage& message, int& status) = 0;
    virtual int readSocialCard(SocialCardRecord& record) = 0;
    virtual int readBankCard(BankCardText& text) = 0;
    virtual int readMagCard(MagCardRecord& record) = 0;
};

// A reader in front of another: whatever it does not override goes to the reader behind it
// (`next()`), which it owns.
class ForwardingCardReader : public CardReader {
  public:
    explicit ForwardingCardReader(std::unique_ptr<CardReader> next) : next_(std::move(next)) {}

    int init() override { return next_->init(); }
    int uninit() override { return next_->uninit(); }
    int readIdCard(IdCardRecord& record, const std::string& photoPath) override {
        return next_->readIdCard(record, photoPath);
    }
    int saveIdCardImages(int type, const std::string& frontPath,
                         const std::string& backPath) override {
        return next_->saveIdCardImages(type, frontPath, backPath);
    }
    int readIdFingerprint(int index, IdFingerprintMessage& message, int& status) override {
        return next_->readIdFingerprint(index, message, status);
    }
    int readSocialCard(SocialCardRecord& record) override { return next_->readSocialCard(record); }
    int readBankCard(BankCardText& text) override { return next_->readBankCard(text); }
    int readMagCard(MagCardRecord& record) override { return next_->readMagCard(record); }

  protected:
    CardReader& next() { return *next_; }

  private:
    const std::unique_ptr<CardReader> next_;
};

// No reader attached: starting and stopping succeed (there is nothing to start), every read
// answers kNoDevice.
class NoCardReader final : public CardReader {
  public:
    int init() override { return kOk; }
    int uninit() override { return kOk; }
    int readIdCard(IdCardRecord&, const std::string&) override { return kNoDevice; }
    int saveIdCardImages(int, const std::string&, const std::string&) override { return kNoDevice; }
    int readIdFingerprint(int, IdFingerprintMessage&, int&) override { return kNoDevice; }
    int readSocialCard(SocialCardRecord&) override { return kNoDevice; }
    int readBankCard(BankCardText&) override { return kNoDevice; }
    int readMagCard(MagCardRecord&) override { return kNoDevice; }
};

}  // namespace pictavo
