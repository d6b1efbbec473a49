// OCR commands: list the recognition languages, collect images in the library's OCR list and
// recognise the list into a file or a text.
#include <algorithm>
#include <vector>

#include "pictavo.h"
#include "recognition/fixed_buffer.h"
#include "recognition/recognition_commands.h"
#include "service/command_service.h"
#include "service/dispatch.h"
#include "service/reply.h"

namespace lenvaro {
namespace {

constexpr size_t kLanguageNameBytes = 128;
constexpr size_t kRecognisedTextBytes = 10000;
// A library that reports an absurd number of languages must not keep the service thread busy
// for hours: no installation has more than a few hundred.
constexpr int kMaxLanguages = 4096;

void ocrGetLanguageCountCommand(CommandService& service) {
    int count = 0;
    ocrGetLanguageCount(&count);
    service.sendReply("ocrGetLanguageCount", intToText(count), false);
}

// ["eng","chi_sim"]: the names as the library gives them, unescaped; no language gives [""].
void ocrGetLanguageNameCommand(CommandService& service) {
    int count = 0;
    ocrGetLanguageCount(&count);
    std::vector<std::string> names;
    TextBuffer name(kLanguageNameBytes);
    for (int i = 0; i < std::min(count, kMaxLanguages); ++i) {
        // Zeroed for every name, so a name the library fails to give reads as empty rather
        // than as the name before it.
        name.clear();
        ocrGetLanguageName(i, name.data());
        names.push_back(name.text());
    }
    service.sendReply("ocrGetLanguageName", rawList(names), true);
}

void ocrAddImageFileToOCRListCommand(CommandService& service) {
    const std::string path = service.argString("strImagePath");
    service.sendReply("ocrAddImageFileToOCRList", intToText(ocrAddImageFileToOCRList(path.c_str())),
                      false);
}

void ocrCombineToFileCommand(CommandService& service) {
    const std::string path = service.argString("strFilePath");
    const int language = service.argInt("language");
    service.sendReply("ocrCombineToFile", intToText(ocrCombineToFile(path.c_str(), language)),
                      false);
}

// Adds the image and combines, whatever the add answered: the list may hold earlier images.
void ocrCombineSingleToFileCommand(CommandService& service) {
    const std::string imagePath = service.argString("strImagePath");
    const std::string filePath = service.argString("strFilePath");
    const int language = service.argInt("language");
    ocrAddImageFileToOCRList(imagePath.c_str());
    service.sendReply("ocrCombineSingleToFile",
                      intToText(ocrCombineToFile(filePath.c_str(), language)), false);
}

std::string combineToString(int language) {
    TextBuffer text(kRecognisedTextBytes);
    ocrCombineToString(language, text.data());
    return text.text();
}

// The text goes out as "$-$" followed by it (sendReply picks the marker by name).
void ocrCombineToStringCommand(CommandService& service) {
    const int language = service.argInt("language");
    service.sendReply("ocrCombineToString", combineToString(language), false);
}

void ocrCombineSingleToStringCommand(CommandService& service) {
    const std::string imagePath = service.argString("strImagePath");
    const int language = service.argInt("language");
    ocrAddImageFileToOCRList(imagePath.c_str());
    service.sendReply("ocrCombineSingleToString", combineToString(language), false);
}

}  // namespace

void registerOcrCommands(CommandTable& table) {
    table.bind("ocrGetLanguageCount", ocrGetLanguageCountCommand);
    table.bind("ocrGetLanguageName", ocrGetLanguageNameCommand);
    table.bind("ocrAddImageFileToOCRList", ocrAddImageFileToOCRListCommand);
    table.bind("ocrCombineToFile", ocrCombineToFileCommand);
    table.bind("ocrCombineSingleToFile", ocrCombineSingleToFileCommand);
    table.bind("ocrCombineToString", ocrCombineToStringCommand);
    table.bind("ocrCombineSingleToString", ocrCombineSingleToStringCommand);
}

}  // namespace lenvaro
