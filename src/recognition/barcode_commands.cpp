// Barcode commands: recognise every code of a file in one reply, or count codes (in a rectangle)
// and fetch their texts one by one; name captures after their barcode.
#include <algorithm>
#include <memory>

#include "pictavo.h"
#include "recognition/fixed_buffer.h"
#include "recognition/recognition_commands.h"
#include "service/command_service.h"
#include "service/dispatch.h"
#include "service/reply.h"

namespace lenvaro {
namespace {

constexpr int kRecordEntries = sizeof(BarcodeResultSet::results) / sizeof(BarcodeResult);
constexpr size_t kBarcodeTextBytes = 2048;

// Every entry in a fresh record is as the library expects to find it: texts zero, the two
// groups of four integers -1, the last two integers 0.
std::unique_ptr<BarcodeResultSet> freshResultSet() {
    auto set = std::make_unique<BarcodeResultSet>();
    std::memset(set.get(), 0, sizeof(BarcodeResultSet));
    for (BarcodeResult& entry : set->results) {
        std::fill(std::begin(entry.values1), std::end(entry.values1), -1);
        std::fill(std::begin(entry.values2), std::end(entry.values2), -1);
    }
    return set;
}

// "FORMAT:TEXT" pieces joined by "|". The whole text is kept however long it is, and a count
// above the record's 64 entries reads the 64 that exist.
void coderRecognizeBarcodeCommand(CommandService& service) {
    const std::string path = service.argString("filePath");
    const std::unique_ptr<BarcodeResultSet> set = freshResultSet();
    std::string joined;
    if (coderRecognizeBarcode(path.c_str(), reinterpret_cast<uint8_t*>(set.get())) == 0) {
        const int count = std::min<int>(set->count, kRecordEntries);
        for (int i = 0; i < count; ++i) {
            const BarcodeResult& entry = set->results[i];
            if (i > 0) joined += '|';
            joined += boundedText(entry.text1, sizeof entry.text1);
            joined += ':';
            joined += boundedText(entry.text2, sizeof entry.text2);
        }
    }
    service.sendReply("coderRecognizeBarcode", joined, false);
}

void coderNameByBarcodeCommand(CommandService& service) {
    const int on = service.argInt("IsAvailabel") != 0 ? 1 : 0;
    service.sendReply("coderNameByBarcode",
                      intToText(coderNameByBarcode(service.currentDevice.load(), on)), false);
}

void ocrRecognizeBarcodeCommand(CommandService& service) {
    const std::string path = service.argString("strBarcodePath");
    const int codeType = service.argInt("nCodeType");
    int count = 0;
    ocrRecognizeBarcode(path.c_str(), codeType, &count);
    service.sendReply("ocrRecognizeBarcode", intToText(count), false);
}

void ocrRecognizeBarcodeRectCommand(CommandService& service) {
    const std::string path = service.argString("strBarcodePath");
    const int left = service.argInt("ileft");
    const int top = service.argInt("itop");
    const int right = service.argInt("iright");
    const int bottom = service.argInt("ibottom");
    const int codeType = service.argInt("nCodeType");
    int count = 0;
    ocrRecognizeBarcodeRect(path.c_str(), codeType, left, top, right, bottom, &count);
    service.sendReply("ocrRecognizeBarcodeRect", intToText(count), false);
}

void ocrGetBarcodeTextCommand(CommandService& service) {
    const int index = service.argInt("nIndex");
    TextBuffer text(kBarcodeTextBytes);
    int size = static_cast<int>(kBarcodeTextBytes);
    ocrGetBarcodeText(index, text.data(), &size);
    service.sendReply("ocrGetBarcodeText", text.text(), false);
}

}  // namespace

void registerBarcodeCommands(CommandTable& table) {
    table.bind("coderRecognizeBarcode", coderRecognizeBarcodeCommand);
    table.bind("coderNameByBarcode", coderNameByBarcodeCommand);
    table.bind("ocrRecognizeBarcode", ocrRecognizeBarcodeCommand);
    table.bind("ocrRecognizeBarcodeRect", ocrRecognizeBarcodeRectCommand);
    table.bind("ocrGetBarcodeText", ocrGetBarcodeTextCommand);
}

}  // namespace lenvaro
