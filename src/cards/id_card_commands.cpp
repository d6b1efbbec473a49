// Resident ID card commands: the nine text fields, the holder's photo, the images of the card's
// faces and the fingerprint templates stored on the card. Nothing read from a card is logged.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "cards/card_commands.h"
#include "cards/card_records.h"
#include "cards/reset_card_reader.h"
#include "common/base64.h"
#include "common/file_writer.h"
#include "pictavo.h"
#include "service/command_service.h"
#include "service/dispatch.h"
#include "service/reply.h"

namespace lenvaro {
namespace {

using IdCardRecord = std::array<uint8_t, PICTAVO_ID_CARD_RECORD_SIZE>;
using FingerprintMessage = std::array<uint8_t, 1024>;

// The part of the fingerprint message that is the template; the rest of the buffer is the
// library's.
constexpr size_t kFingerprintTemplateBytes = 512;

// The holder's photo of one read, in the service's private scratch directory. A file left under
// the name is removed before the read, so a stale photo can never pass for this card's, and the
// new one is removed when the command ends, however it ends.
class TemporaryPhoto {
  public:
    explicit TemporaryPhoto(std::string path) : path_(std::move(path)) { remove(); }
    ~TemporaryPhoto() { remove(); }
    TemporaryPhoto(const TemporaryPhoto&) = delete;
    TemporaryPhoto& operator=(const TemporaryPhoto&) = delete;

    const std::string& path() const { return path_; }
    void remove() const { std::remove(path_.c_str()); }

  private:
    std::string path_;
};

// The card's nine fields, joined. The record is cleared first, so a read that writes nothing
// yields nine empty fields; the library's status is not looked at.
std::string readIdCardFields(const std::string& photoPath) {
    IdCardRecord record{};
    idcardrfidReadIDCard(record.data(), photoPath.c_str());
    return joinFields(record.data(), record.size(), kIdCardFields);
}

// The nine fields and the photo as one line of Base64 (empty when no photo appeared): ten
// items, nine separators.
void replyFieldsWithPhoto(CommandService& service, const std::string& name) {
    const TemporaryPhoto photo(service.scratchDirectory() + "/idCard.bmp");
    const std::string fields = readIdCardFields(photo.path());
    std::string photoText = readFileAsBase64(photo.path());
    replaceAll(photoText, "\r\n", "");
    photo.remove();
    service.sendReply(name, fields + "|" + photoText, false);
}

// Text to integer as the C library's atoi reads it (leading blanks, optional sign, digits; 0
// when there are none), without atoi's undefined behaviour for values beyond int.
int textToInt(const std::string& text) {
    return static_cast<int>(std::strtol(text.c_str(), nullptr, 10));
}

void idcardrfidReadIDCardCommand(CommandService& service) {
    resetCardReader();
    // The path reaches the library whole; the photo stays where the library wrote it.
    service.sendReply("idcardrfidReadIDCard", readIdCardFields(service.argString("HeadPath")),
                      false);
}

void idcardrfidReadIDCardExCommand(CommandService& service) {
    resetCardReader();
    replyFieldsWithPhoto(service, "idcardrfidReadIDCardEx");
}

// The same read without re-initialising the reader first.
void iReadIdentityCardCommand(CommandService& service) {
    replyFieldsWithPhoto(service, "iReadIdentityCard");
}

// "nType" is read as text on purpose: pages send it as a string, and a JSON number there
// selects type 0, as it always has.
void idcardrfidGetIDCardImageCommand(CommandService& service) {
    const std::string front = service.argString("pFileFront");
    const std::string back = service.argString("pFileBack");
    const int type = textToInt(service.argString("nType"));
    service.sendReply("idcardrfidGetIDCardImage",
                      intToText(idcardrfidGetIDCardImage(type, front.c_str(), back.c_str())),
                      false);
}

// Replies "$*$" + name + "$*$" + template + "$*$" + status (the marker comes from the name).
// The template is Base64 with its line breaks and is also written to "filePath"; a failed read
// sends an empty template and leaves the file alone.
void idcardrfidGetOneFingerprintMsgCommand(CommandService& service) {
    static const std::string kName = "idcardrfidGetOneFingerprintMsg";
    const int index = service.argInt("nIndex");
    const std::string filePath = service.argString("filePath");
    FingerprintMessage message{};
    int status = -1;
    std::string templateText;
    if (idcardrfidGetOneFingerprintMsg(index, message.data(), &status) == 0) {
        templateText = base64Encode(message.data(), kFingerprintTemplateBytes);
        // A fingerprint template is biometric data: private to the user.
        files::writeFileOrReport(filePath, message.data(), kFingerprintTemplateBytes,
                                 files::FileAccess::Private);
    }
    service.sendReply(kName, kName + "$*$" + templateText + "$*$" + intToText(status), false);
}

}  // namespace

void registerIdCardCommands(CommandTable& table) {
    table.bind("idcardrfidReadIDCard", whileHoldingCardReader<idcardrfidReadIDCardCommand>);
    table.bind("idcardrfidReadIDCardEx", whileHoldingCardReader<idcardrfidReadIDCardExCommand>);
    table.bind("iReadIdentityCard", whileHoldingCardReader<iReadIdentityCardCommand>);
    table.bind("idcardrfidGetIDCardImage", whileHoldingCardReader<idcardrfidGetIDCardImageCommand>);
    table.bind("idcardrfidGetOneFingerprintMsg", whileHoldingCardReader<idcardrfidGetOneFingerprintMsgCommand>);
}

}  // namespace lenvaro
