// Fingerprint commands: the two feature slots kept in the service (collect, compare), and the
// stateless commands that work with files and Base64 text held by the page.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "biometrics/biometric_commands.h"
#include "biometrics/feature_slot.h"
#include "common/base64.h"
#include "common/file_io.h"
#include "common/file_writer.h"
#include "files/documents_path.h"
#include "files/path_argument.h"
#include "pictavo.h"
#include "service/command_service.h"
#include "service/dispatch.h"
#include "service/reply.h"

namespace lenvaro {
namespace {

constexpr size_t kImageBytes = 262144;  // the image and the raw scan, each
constexpr size_t kFeatureBytes = FeatureSlot::kBytes;
// Results the service answers by itself, without asking the library.
constexpr int kFileMissing = 5;   // ContrastFingerprint: a feature file cannot be read
constexpr int kTextTooShort = 5;  // ContrastFingerprintBase64: a feature text is too short
constexpr int kNoImage = -1;      // CollectFingerFeature: the sensor gave no image
constexpr int kSlotEmpty = -100;  // CompareFingerFeature: a slot holds no feature
// Feature texts are decoded over this many characters, so at most 768 bytes come out of one.
constexpr size_t kFeatureTextChars = 1024;

// How much of a feature text is decoded: the groups of four that start within its first 1024
// characters, line breaks counted, each read whole as far as the text goes.
size_t featureTextSpan(const std::string& text) {
    size_t consumed = 0;
    while (consumed < kFeatureTextChars && consumed < text.size()) {
        const char c = text[consumed];
        consumed += c == '\r' || c == '\n' ? 1 : 4;
    }
    return std::min(consumed, text.size());
}

// What a feature text decodes to (at most 768 bytes), in a zero-filled feature buffer.
std::vector<uint8_t> decodeFeatureText(const std::string& text) {
    size_t byteCount = 0;
    const std::string decoded = base64Decode(text, featureTextSpan(text), byteCount);
    std::vector<uint8_t> feature(kFeatureBytes, 0);
    std::memcpy(feature.data(), decoded.data(), std::min(decoded.size(), feature.size()));
    return feature;
}

void fingerprintInitCommand(CommandService& service) {
    const int status = fingerprintInit();
    service.featureSlot1.clear();
    service.featureSlot2.clear();
    service.sendReply("fingerprintInit", intToText(status), false);
}

void fingerprintUnInitCommand(CommandService& service) {
    service.sendReply("fingerprintUnInit", intToText(fingerprintUnInit()), false);
}

// Takes one finger into slot 1 ("number" 1) or slot 2 (any other number). The image is kept in
// the documents folder under a tick-count name that nobody is told about; pages and tools that
// look for these files expect the name exactly as documentsTickPath makes it ("700..bmp").
void CollectFingerFeatureCommand(CommandService& service) {
    const int32_t number = service.argInt("number");
    std::vector<uint8_t> image(kImageBytes, 0);
    std::vector<uint8_t> raw(kImageBytes, 0);
    if (fingerprintGetImage(image.data(), raw.data()) != 0) {
        service.sendReply("CollectFingerFeature", intToText(kNoImage), false);
        return;
    }
    // Fingerprints are biometric data: every file of them is private to the user.
    files::writeFileOrReport(documentsTickPath(".bmp"), image.data(), image.size(), files::FileAccess::Private);

    FeatureSlot& slot = number == 1 ? service.featureSlot1 : service.featureSlot2;
    // Cleared first like every output buffer: a library that writes nothing leaves zeros, never
    // the feature of an earlier finger.
    slot.zero();
    const int status = fingerprintGetFeature(raw.data(), slot.data());
    service.sendReply("CollectFingerFeature", intToText(status), false);
}

// Compares slot 1 with slot 2 and empties both; with a slot empty it calls nothing and keeps them.
void CompareFingerFeatureCommand(CommandService& service) {
    if (service.featureSlot1.empty() || service.featureSlot2.empty()) {
        service.sendReply("CompareFingerFeature", intToText(kSlotEmpty), false);
        return;
    }
    const int result =
        fingerprintContrast(service.featureSlot1.data(), service.featureSlot2.data());
    service.sendReply("CompareFingerFeature", intToText(result), false);
    service.featureSlot1.clear();
    service.featureSlot2.clear();
}

// Re-opens the sensor, takes a finger, writes the image and the feature to the page's files and
// answers both as Base64 (line breaks kept). Any failure answers two empty texts and no code.
void GetFingerprintCommand(CommandService& service) {
    const std::string bmpPath = fittedPath(service.argString("bmpPath"));
    const std::string featurePath = fittedPath(service.argString("FeaturePath"));
    std::vector<uint8_t> image(kImageBytes, 0);
    std::vector<uint8_t> raw(kImageBytes, 0);
    std::vector<uint8_t> feature(kFeatureBytes, 0);
    std::string imageText;
    std::string featureText;

    fingerprintUnInit();
    fingerprintInit();
    if (fingerprintGetImage(image.data(), raw.data()) == 0) {
        files::writeFileOrReport(bmpPath, image.data(), image.size(), files::FileAccess::Private);
        if (fingerprintGetFeature(raw.data(), feature.data()) == 0) {
            files::writeFileOrReport(featurePath, feature.data(), feature.size(), files::FileAccess::Private);
            featureText = base64Encode(feature.data(), feature.size());
            imageText = base64Encode(image.data(), image.size());
        }
    }
    // The marker form: the page receives "$*$GetFingerprint$*$<image>$*$<feature>".
    service.sendReply("GetFingerprint", "GetFingerprint$*$" + imageText + "$*$" + featureText,
                      false);
}

void ContrastFingerprintCommand(CommandService& service) {
    const std::string path1 = fittedPath(service.argString("FeaturePath1"));
    const std::string path2 = fittedPath(service.argString("FeaturePath2"));
    std::vector<uint8_t> feature1(kFeatureBytes, 0);
    std::vector<uint8_t> feature2(kFeatureBytes, 0);
    int result = kFileMissing;
    if (readRegularFileStart(path1, feature1.data(), feature1.size()) &&
        readRegularFileStart(path2, feature2.data(), feature2.size())) {
        result = fingerprintContrast(feature1.data(), feature2.data());
    }
    service.sendReply("ContrastFingerprint", intToText(result), false);
}

// The two texts have different minimum lengths (the second may be a single character); pages
// have always been answered so.
void ContrastFingerprintBase64Command(CommandService& service) {
    const std::string text1 = service.argString("Base64FPFeature1");
    const std::string text2 = service.argString("Base64FPFeature2");
    int result = kTextTooShort;
    if (!text2.empty() && text1.size() >= 2) {
        std::vector<uint8_t> feature1 = decodeFeatureText(text1);
        std::vector<uint8_t> feature2 = decodeFeatureText(text2);
        result = fingerprintContrast(feature1.data(), feature2.data());
    }
    service.sendReply("ContrastFingerprintBase64", intToText(result), false);
}

}  // namespace

void registerFingerprintCommands(CommandTable& table) {
    table.bind("fingerprintInit", fingerprintInitCommand);
    table.bind("fingerprintUnInit", fingerprintUnInitCommand);
    table.bind("CollectFingerFeature", CollectFingerFeatureCommand);
    table.bind("CompareFingerFeature", CompareFingerFeatureCommand);
    table.bind("GetFingerprint", GetFingerprintCommand);
    table.bind("ContrastFingerprint", ContrastFingerprintCommand);
    table.bind("ContrastFingerprintBase64", ContrastFingerprintBase64Command);
}

}  // namespace lenvaro
