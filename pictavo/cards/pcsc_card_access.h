// The computer's smart card readers through PC/SC (pcsc-lite and its pcscd service): any CCID
// reader, contact or contactless. Built only where pcsc-lite is installed (PICTAVO_WITH_PCSC).
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pictavo/cards/card_reader.h"
#include "pictavo/cards/card_settings.h"
#include "pictavo/cards/ic_card.h"
#include "pictavo/cards/smart_card_access.h"

namespace pictavo {

class PcscCardAccess final : public SmartCardAccess {
  public:
    PcscCardAccess() = default;
    ~PcscCardAccess() override;
    PcscCardAccess(const PcscCardAccess&) = delete;
    PcscCardAccess& operator=(const PcscCardAccess&) = delete;

    // One context for the library's life, made at the first read (and again after the service
    // restarted); each read lists the readers anew and connects, shared, for that read alone.
    CardSearch readCard(ReaderOrder order, const Read& read) override;

  private:
    // A PC/SC error; 0 when the names are listed.
    long listReaders(std::vector<std::string>& names);
    void dropContext();

    std::mutex mutex_;
    bool haveContext_ = false;
    long context_ = 0;  // SCARDCONTEXT
};

// What a PC/SC error met while looking for readers or cards means for the search.
CardSearch searchEndOf(long pcscError);

// A reader whose name says it is contactless ("... PICC ...", "... Contactless ...").
bool isContactlessReaderName(const std::string& name);

// Puts the smart card readers in front of `cardReader` and `icCardReader` (either may be null:
// then nothing stands behind them).
void putSmartCardReadersInFront(const TerminalSettings& terminal,
                                std::unique_ptr<CardReader>& cardReader,
                                std::unique_ptr<IcCardReader>& icCardReader);

}  // namespace pictavo
