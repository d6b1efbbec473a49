// Social-security, bank and magnetic card commands, and the IC card's number. Each clears its
// record, makes one library call and replies with the record's fields joined by "|"; the
// library's status is not looked at, so a failed read shows as empty fields.
#include <array>
#include <cstdint>
#include <string>

#include "cards/card_commands.h"
#include "cards/card_records.h"
#include "cards/reset_card_reader.h"
#include "pictavo.h"
#include "service/command_service.h"
#include "service/dispatch.h"

namespace lenvaro {
namespace {

std::string bankCardText() {
    std::array<uint8_t, PICTAVO_BANK_CARD_TEXT_SIZE> text{};
    camGetBankCardInfo(text.data());
    return recordFieldText(text.data(), text.size(), kBankCardText);
}

// Pages rely on this field order (record fields 2, 3, 4, 6, 5, 1), not on the record's.
void ReadSBKCaardCommand(CommandService& service) {
    resetCardReader();
    std::array<uint8_t, PICTAVO_SOCIAL_CARD_RECORD_SIZE> record{};
    camGetSsseInfo(record.data());
    const RecordField* f = kSocialCardFields;
    service.sendReply(
        "ReadSBKCaard",
        joinFields(record.data(), record.size(), {f[1], f[2], f[3], f[5], f[4], f[0]}), false);
}

void ReadBankCardCommand(CommandService& service) {
    resetCardReader();
    service.sendReply("ReadBankCard", bankCardText(), false);
}

void ReadMagneticCardCommand(CommandService& service) {
    resetCardReader();
    std::array<uint8_t, PICTAVO_MAG_CARD_RECORD_SIZE> record{};
    camGetMagCard(record.data());
    service.sendReply("ReadMagneticCard", joinFields(record.data(), record.size(), kMagCardFields),
                      false);
}

// The bank card read without re-initialising the reader first.
void iReadICCardNumCommand(CommandService& service) {
    service.sendReply("iReadICCardNum", bankCardText(), false);
}

}  // namespace

void registerCardReaderCommands(CommandTable& table) {
    table.bind("ReadSBKCaard", whileHoldingCardReader<ReadSBKCaardCommand>);
    table.bind("ReadBankCard", whileHoldingCardReader<ReadBankCardCommand>);
    table.bind("ReadMagneticCard", whileHoldingCardReader<ReadMagneticCardCommand>);
    table.bind("iReadICCardNum", whileHoldingCardReader<iReadICCardNumCommand>);
}

}  // namespace lenvaro
