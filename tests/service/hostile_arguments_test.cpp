// Every command with hostile arguments: wrong JSON types, numbers out of every range, megabyte
// texts, embedded zero characters, invalid UTF-8, paths into another user's folder, through a
// named pipe or a device, and paths that climb with "..". Whatever a page sends, each command
// keeps the reply it always gives (or its silence), and nothing crashes; run under the address
// and undefined-behaviour sanitizers this also proves that nothing reads or writes out of bounds.
//
// Every path points into a sandbox, a path that leaves it only through a folder that does not
// exist, or a device that swallows writes: commands that write or delete what a page names
// never touch other files, also when the tests run as root.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "argument_keys.h"
#include "json_text.h"
#include "common/paths.h"
#include "service/dispatch.h"
#include "scoped_environment.h"
#include "service_harness.h"

namespace lenvaro {
namespace {

using lenvaro::testing::jsonString;
using lenvaro::testing::ScopedEnvironment;
using lenvaro::testing::ServiceHarness;

// The form of what a command sends back, whatever its arguments.
enum class Reply {
    Quoted,       // {"FuncName":"NAME","result":"..."}
    RawList,      // {"FuncName":"NAME","result":[...]}
    QuotedOrRaw,  // either JSON form (the upload answers the server's JSON raw)
    Marker,       // a marker message starting with `marker`
    Silent,       // nothing, ever
    PushedLater,  // nothing now; a worker pushes one quoted reply later
};

struct CommandCase {
    std::string_view name;
    Reply reply;
    std::string_view marker;
    std::string_view textKeys;  // the text arguments the command reads, separated by spaces
};

constexpr Reply Quoted = Reply::Quoted;
constexpr Reply RawList = Reply::RawList;
constexpr Reply QuotedOrRaw = Reply::QuotedOrRaw;
constexpr Reply Marker = Reply::Marker;
constexpr Reply Silent = Reply::Silent;
constexpr Reply PushedLater = Reply::PushedLater;

// All 127 commands, in the protocol's order.
constexpr CommandCase kCommands[] = {
    {"camInitCameraLib", Quoted, "", ""},
    {"camUnInitCameraLib", Quoted, "", ""},
    {"PreZoneSize", Silent, "", ""},
    {"camOpenDev", Quoted, "", ""},
    {"idcardrfidGetIDCardImage", Quoted, "", "pFileFront pFileBack nType"},
    {"idcardrfidGetOneFingerprintMsg", Marker, "$*$idcardrfidGetOneFingerprintMsg$*$", "filePath"},
    {"GetFingerprint", Marker, "$*$GetFingerprint$*$", "bmpPath FeaturePath"},
    {"ContrastFingerprintBase64", Quoted, "", "Base64FPFeature1 Base64FPFeature2"},
    {"ContrastFingerprint", Quoted, "", "FeaturePath1 FeaturePath2"},
    {"EnableBuzzer", Quoted, "", ""},
    {"camCaptureBook", Quoted, "", "filepath1 filepath2"},
    {"camSetRemoveFinger", Quoted, "", ""},
    {"camCloseDev", Quoted, "", ""},
    {"camGetDevCount", Quoted, "", ""},
    {"camGetDevName", RawList, "", ""},
    {"camGetResolutionCount", Quoted, "", ""},
    {"camGetResolution", RawList, "", ""},
    {"camSetResolution", Quoted, "", ""},
    {"camCaptureImageFile", Quoted, "", "filePath"},
    {"camSetImageAutoCrop", Quoted, "", ""},
    {"camSetImageRotateMode", Quoted, "", ""},
    {"camSetImageCusCropRect", Quoted, "", ""},
    {"camSetImageDPI", Quoted, "", ""},
    {"FileEncodeBase64", Marker, "$*$FileEncodeBase64$*$", "filePath"},
    {"CaptureEncodeBase64", Quoted, "", ""},
    {"idcardrfidReadIDCard", Quoted, "", "HeadPath"},
    {"idcardrfidReadIDCardEx", Quoted, "", ""},
    {"ReadSBKCaard", Quoted, "", ""},
    {"ReadBankCard", Quoted, "", ""},
    {"ReadMagneticCard", Quoted, "", ""},
    {"fingerprintInit", Quoted, "", ""},
    {"fingerprintUnInit", Quoted, "", ""},
    {"CollectFingerFeature", Quoted, "", ""},
    {"CompareFingerFeature", Quoted, "", ""},
    {"camStartAutoCapture", Quoted, "", "filePath"},
    {"camStopAutoCapture", Quoted, "", ""},
    {"camUpdataFileHttp", QuotedOrRaw, "", "filePath url param"},
    {"getFolderDayFileA", Marker, "$$$", "Dictpry"},
    {"camDeleteFile", Quoted, "", "FilePath"},
    {"camSetImageJPGQuanlity", Quoted, "", ""},
    {"DeleteFolderDayFileA", Quoted, "", "Dictpry"},
    {"camInitFace", Quoted, "", ""},
    {"camUnInitFace", Quoted, "", ""},
    {"camMatchFaceByFileVideo", Quoted, "", "filePath videoFilePath"},
    {"camMatchFaceByBase64Video", Quoted, "", "personFace videoFilePath"},
    {"camStartAsyMatchFaceBase64Video", PushedLater, "", "personFace videoFilePath"},
    {"camMatchFaceByFile", Quoted, "", "filePath1 filePath2"},
    {"camMatchFaceByBase64", Quoted, "", "PersonFace1 PersonFace2"},
    {"camSetLivingBodyState", Quoted, "", ""},
    {"camGetAudioDevCount", Quoted, "", ""},
    {"camGetAudioDevName", RawList, "", ""},
    {"camGetVideoEncodeCount", Quoted, "", ""},
    {"camGetVideoEncodeName", RawList, "", ""},
    {"camStartRecord", Quoted, "", "filePath"},
    {"camStopRecord", Quoted, "", ""},
    {"camGetMicrophoneVolumeLevel", Silent, "", ""},
    {"camSetImageAdjust", Quoted, "", ""},
    {"camAddFileToPDFList", Quoted, "", "filePath"},
    {"camCombinePDF", Quoted, "", "filePath"},
    {"camCombineImage", Quoted, "", "filePath1 filePath2 PdfPath"},
    {"camShowImage", Quoted, "", "FilePath"},
    {"camShowImageSettingWindow", Quoted, "", ""},
    {"camShowDevSettingWindow", Quoted, "", ""},
    {"camSetImageWaterMark", Quoted, "", "strMsg strfont"},
    {"camSetVideoParameter", Quoted, "", ""},
    {"coderRecognizeBarcode", Quoted, "", "filePath"},
    {"coderNameByBarcode", Quoted, "", ""},
    {"ocrRecognizeBarcode", Quoted, "", "strBarcodePath"},
    {"ocrRecognizeBarcodeRect", Quoted, "", "strBarcodePath"},
    {"ocrGetBarcodeText", Quoted, "", ""},
    {"camGetDevType", Quoted, "", ""},
    {"camGetDevPid", Quoted, "", ""},
    {"camGetDevVid", Quoted, "", ""},
    {"camGetMediaTypeCount", Quoted, "", ""},
    {"camGetMediaTypeName", RawList, "", ""},
    {"camSetMediaType", Quoted, "", ""},
    {"camGetCurResolution", Quoted, "", ""},
    {"camGetDevSN", Quoted, "", ""},
    {"camGetDevCusSN", Quoted, "", ""},
    {"camAutoFocus", Quoted, "", ""},
    {"camSetImageDenoise", Quoted, "", ""},
    {"camSetImageFillBorder", Quoted, "", ""},
    {"camSetImageColorStyle", Quoted, "", ""},
    {"camSetImageFileSign", Quoted, "", ""},
    {"camCheckImageFileSign", Quoted, "", "strImagePath"},
    {"camUpdataFileFtp", Quoted, "", "strfilePath strftpPath struserName struserPsd strtargetName"},
    {"ocrGetLanguageCount", Quoted, "", ""},
    {"ocrGetLanguageName", RawList, "", ""},
    {"ocrAddImageFileToOCRList", Quoted, "", "strImagePath"},
    {"ocrCombineToFile", Quoted, "", "strFilePath"},
    {"ocrCombineSingleToFile", Quoted, "", "strImagePath strFilePath"},
    {"ocrCombineToString", Marker, "$-$", ""},
    {"ocrCombineSingleToString", Marker, "$-$", "strImagePath"},
    {"otrUnInit", Quoted, "", ""},
    {"otrGetTemplateCount ", Quoted, "", ""},
    {"otrGetTemplateInfo ", Quoted, "", ""},
    {"OtrRecog ", Quoted, "", "strimagePath"},
    {"StartSignDevice", Quoted, "", "filepath fileSignpath"},
    {"BeginSignMode", Quoted, "", ""},
    {"EndSignMode", Quoted, "", ""},
    {"signOutPutFile", Quoted, "", "fileSignpath"},
    {"SetSignDeviceSN", Quoted, "", ""},
    {"XoOutputImageBase64", Quoted, "", "filePath"},
    {"iReadCardBas", Quoted, "", ""},
    {"iReadCardBas_HSM_Step1", Quoted, "", ""},
    {"iReadCardBas_HSM_Step2", Quoted, "", "pKey"},
    {"iReadCard", Quoted, "", "pCardInfo pFileAddr"},
    {"iReadCard_HSM_Step1", Quoted, "", "pCardInfo pFileAddr"},
    {"iReadCard_HSM_Step2", Quoted, "", "pKey"},
    {"iWriteCard", Quoted, "", "pCardInfo pFileAddr pWriteData"},
    {"iWriteCard_HSM_Step1", Quoted, "", "pCardInfo pFileAddr"},
    {"iWriteCard_HSM_Step2", Quoted, "", "pKey pWriteData"},
    {"iVerifyPIN", Quoted, "", ""},
    {"iChangePIN", Quoted, "", ""},
    {"iReloadPIN", Quoted, "", "pCardInfo"},
    {"iReloadPIN_HSM_Step1", Quoted, "", "pCardInfo"},
    {"iReloadPIN_HSM_Step2", Quoted, "", "pKey"},
    {"iUnblockPIN_HSM_Step3", Quoted, "", "pKey"},
    {"iUnblockPIN", Quoted, "", "pCardInfo"},
    {"iUnblockPIN_HSM_Step1", Quoted, "", "pCardInfo"},
    {"iUnblockPIN_HSM_Step2", Quoted, "", "pKey"},
    {"iDoDebit", Quoted, "", "pCardInfo pPayInfo"},
    {"iDoDebit_HSM_Step1", Quoted, "", "pCardInfo pPayInfo"},
    {"iDoDebit_HSM_Step2", Quoted, "", "pKey"},
    {"iReadDebitRecord", Quoted, "", ""},
    {"iReadICCardNum", Quoted, "", ""},
    {"iReadIdentityCard", Quoted, "", ""},
};

enum class KeyKind { Integer, Float, Text, Path };

// The JSON text a hostile case gives one argument (nullopt leaves the key out).
using ValueOf = std::function<std::optional<std::string>(std::string_view key, KeyKind kind,
                                                         size_t keyNumber)>;

struct HostileCase {
    const char* what;
    ValueOf value;
    // When set, the whole "argument" member, in place of an object of every key.
    std::optional<std::string> argumentMember;
};

// The sandbox: a folder with files, another user's private folder, a named pipe, and the home
// folder the fingerprint captures are kept in.
class HostileArguments : public ::testing::Test {
protected:
    HostileArguments() {
        mkdir(path("home").c_str(), 0700);
        mkdir(path("dir").c_str(), 0700);
        writeFile(path("dir/a.txt"), "a");
        mkdir(path("other").c_str(), 0700);
        writeFile(path("other/secret.txt"), "secret");
        if (geteuid() == 0) {
            // Owned by nobody, as another user's files would be.
            if (chown(path("other/secret.txt").c_str(), 65534, 65534) != 0 ||
                chown(path("other").c_str(), 65534, 65534) != 0) {
                ADD_FAILURE() << "cannot hand the folder to another user";
            }
        }
        if (mkfifo(path("pipe").c_str(), 0600) != 0) ADD_FAILURE() << "cannot make a named pipe";
    }

    std::string path(const std::string& relative) const { return sandbox_.path() + "/" + relative; }

    static void writeFile(const std::string& file, const std::string& text) {
        std::FILE* f = std::fopen(file.c_str(), "wb");
        ASSERT_NE(f, nullptr) << file;
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }

    // Hostile paths that stay harmless: inside the sandbox, through a folder that does not
    // exist, or a device.
    std::vector<std::string> hostilePaths() const {
        const std::string name = sandbox_.path().substr(sandbox_.path().rfind('/') + 1);
        return {
            path("other/secret.txt"),
            path("other"),
            path("dir/../../" + name + "/other/secret.txt"),
            "/lenvaro-no-such-folder/../../../etc/passwd",
            path("pipe"),
            "/dev/zero",
            path("dir//./a.txt"),
            path("dir/"),
        };
    }

    // Runs every command with the case's arguments, each on a fresh service, and checks its reply.
    void runEveryCommand(const HostileCase& hostile) {
        for (const CommandCase& command : kCommands) {
            std::string request = "{\"FuncName\":" + jsonString(std::string(command.name)) +
                                  ",\"argument\":";
            request += hostile.argumentMember ? *hostile.argumentMember : argumentObject(hostile);
            request += "}";
            expectReplyShape(command, hostile.what, sendOnce(request));
        }
    }

    std::string argumentObject(const HostileCase& hostile) const {
        std::string object = "{";
        std::set<std::string_view> seen;
        size_t keyNumber = 0;
        const auto add = [&](std::string_view key, KeyKind kind) {
            if (!seen.insert(key).second) return;
            const std::optional<std::string> value = hostile.value(key, kind, keyNumber++);
            if (!value) return;
            if (object.size() > 1) object += ",";
            object += jsonString(std::string(key)) + ":" + *value;
        };
        for (std::string_view key : testing::kIntegerArgumentKeys) add(key, KeyKind::Integer);
        for (std::string_view key : testing::kFloatArgumentKeys) add(key, KeyKind::Float);
        for (std::string_view key : testing::kTextArgumentKeys) add(key, KeyKind::Text);
        for (std::string_view key : testing::kPathArgumentKeys) add(key, KeyKind::Path);
        return object + "}";
    }

    // A fresh service per request: no state of an earlier hostile request hides a later one.
    static std::vector<std::string> sendOnce(const std::string& request) {
        ServiceHarness harness;
        std::vector<std::string> sent = harness.request(request);
        // A background face match that already ended has pushed; one still running ends
        // without a push when the service goes.
        return sent;
    }

    static void expectReplyShape(const CommandCase& command, const char* what,
                                 const std::vector<std::string>& sent) {
        const std::string name(command.name);
        SCOPED_TRACE(std::string(what) + ": \"" + name + "\"");
        const std::string quotedStart = "{\"FuncName\":\"" + name + "\",\"result\":\"";
        const std::string rawStart = "{\"FuncName\":\"" + name + "\",\"result\":";
        for (const std::string& message : sent) {
            // The wire would cut a message at a zero character.
            EXPECT_EQ(message.find('\0'), std::string::npos) << "a zero character in the reply";
        }
        const auto startsWith = [](const std::string& text, const std::string& prefix) {
            return text.compare(0, prefix.size(), prefix) == 0;
        };
        const auto endsWith = [](const std::string& text, const std::string& suffix) {
            return text.size() >= suffix.size() &&
                   text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
        };
        switch (command.reply) {
            case Reply::Silent:
                EXPECT_TRUE(sent.empty()) << sent.front().substr(0, 200);
                return;
            case Reply::PushedLater:
                ASSERT_LE(sent.size(), 1u);
                if (!sent.empty()) {
                    EXPECT_TRUE(startsWith(sent[0], quotedStart) && endsWith(sent[0], "\"}"))
                        << sent[0].substr(0, 200);
                }
                return;
            default:
                break;
        }
        ASSERT_EQ(sent.size(), 1u) << "exactly one reply";
        const std::string& reply = sent[0];
        switch (command.reply) {
            case Reply::Quoted:
                EXPECT_TRUE(startsWith(reply, quotedStart) && endsWith(reply, "\"}"))
                    << reply.substr(0, 200);
                break;
            case Reply::RawList:
                EXPECT_TRUE(startsWith(reply, rawStart + "[") && endsWith(reply, "]}"))
                    << reply.substr(0, 200);
                break;
            case Reply::QuotedOrRaw:
                EXPECT_TRUE(startsWith(reply, rawStart) && endsWith(reply, "}"))
                    << reply.substr(0, 200);
                break;
            case Reply::Marker:
                EXPECT_TRUE(startsWith(reply, std::string(command.marker))) << reply.substr(0, 200);
                break;
            default:
                break;
        }
    }

    ScratchDirectory sandbox_;
    ScopedEnvironment home_{"HOME", path("home")};
    ScopedEnvironment config_{"XDG_CONFIG_HOME", path("home/.config")};
};

TEST_F(HostileArguments, TheTableNamesEveryCommandOnce) {
    std::set<std::string_view> names;
    for (const CommandCase& command : kCommands) {
        EXPECT_TRUE(names.insert(command.name).second) << command.name;
        EXPECT_NE(CommandTable::instance().find(command.name), nullptr) << command.name;
    }
    EXPECT_EQ(names.size(), CommandTable::instance().entries().size());
}

TEST_F(HostileArguments, WrongJsonTypes) {
    // Integers as texts and texts as numbers; then every key as a container, null or boolean.
    runEveryCommand({"swapped types", [](std::string_view, KeyKind kind, size_t) {
                         switch (kind) {
                             case KeyKind::Integer: return std::optional<std::string>("\"7\"");
                             case KeyKind::Float: return std::optional<std::string>("7");
                             default: return std::optional<std::string>("7");
                         }
                     }, std::nullopt});
    static const char* const kOthers[] = {"[1,2]", "{\"a\":\"b\"}", "null", "true", "[]", "{}"};
    runEveryCommand({"containers, null, booleans",
                     [](std::string_view, KeyKind, size_t keyNumber) {
                         return std::optional<std::string>(kOthers[keyNumber % std::size(kOthers)]);
                     },
                     std::nullopt});
    for (const char* member : {"[{\"filePath\":\"x\"}]", "\"filePath\"", "7", "null", "false"}) {
        runEveryCommand({"an argument member that is no object", {}, std::string(member)});
    }
}

TEST_F(HostileArguments, NumbersOutOfEveryRange) {
    static const char* const kIntegers[] = {
        "2147483647", "-2147483648", "2147483648", "-2147483649", "9223372036854775807",
        "-9223372036854775808", "18446744073709551616", "123456789012345678901234567890",
        "-0", "1e308", "-1e308", "1.5"};
    // (JsonCpp refuses a literal beyond a double's range, such as 1e400: such a request is not
    // JSON to the service and gets no answer at all.)
    static const char* const kFloats[] = {"1e39", "-1e39", "1.7976931348623157e308", "1e-400",
                                          "3.4028235e38", "-0.0", "2147483648.0"};
    runEveryCommand({"numbers at and beyond their limits",
                     [](std::string_view, KeyKind kind, size_t keyNumber) {
                         if (kind == KeyKind::Float) {
                             return std::optional<std::string>(kFloats[keyNumber % std::size(kFloats)]);
                         }
                         return std::optional<std::string>(kIntegers[keyNumber % std::size(kIntegers)]);
                     },
                     std::nullopt});
    for (const char* extreme : {"2147483647", "-2147483648", "-1"}) {
        runEveryCommand({"every integer at one extreme",
                         [extreme](std::string_view, KeyKind kind, size_t) {
                             return kind == KeyKind::Integer ? std::optional<std::string>(extreme)
                                                             : std::nullopt;
                         },
                         std::nullopt});
    }
}

TEST_F(HostileArguments, MegabyteTexts) {
    // Each command's own text arguments a mebibyte long: plain letters, multi-byte characters,
    // and a path whose last name is far beyond what a file system takes.
    const std::string letters(1 << 20, 'A');
    std::string chinese;
    while (chinese.size() < (1u << 20)) chinese += "\xe4\xb8\xad";
    const std::string longPath = path("dir/") + std::string(1 << 20, 'p');
    for (const std::string* text : std::vector<const std::string*>{&letters, &chinese, &longPath}) {
        for (const CommandCase& command : kCommands) {
            if (command.textKeys.empty()) continue;
            std::string request = "{\"FuncName\":" + jsonString(std::string(command.name)) +
                                  ",\"argument\":{\"width\":640,\"ldelayTime\":0";
            std::string_view keys = command.textKeys;
            while (!keys.empty()) {
                const size_t space = keys.find(' ');
                request += "," + jsonString(std::string(keys.substr(0, space))) + ":" +
                           jsonString(*text);
                keys = space == std::string_view::npos ? std::string_view() : keys.substr(space + 1);
            }
            request += "}}";
            expectReplyShape(command, "megabyte texts", sendOnce(request));
        }
    }
}

TEST_F(HostileArguments, ZeroCharactersAndInvalidUtf8) {
    const std::string folder = path("dir");
    static const char* const kTexts[] = {
        "a\\u0000b", "\\u0000", "\xff\xfe\xfd", "\xc0\xaf", "\xed\xa0\x80", "\\ud83d\\ude00",
        "\xf4\x90\x80\x80", "\xe4\xb8", "%00%ff", "\\\"\\\\"};
    const std::string sandbox = path("");
    runEveryCommand({"zero characters and invalid UTF-8 in texts",
                     [sandbox](std::string_view, KeyKind kind, size_t keyNumber) -> std::optional<std::string> {
                         if (kind == KeyKind::Integer || kind == KeyKind::Float) return std::nullopt;
                         // Written as JSON text already: escapes stay escapes. Paths are names
                         // in the sandbox, never in the working directory.
                         return "\"" + (kind == KeyKind::Path ? sandbox : "") +
                                kTexts[keyNumber % std::size(kTexts)] + "\"";
                     },
                     std::nullopt});
    runEveryCommand({"zero characters inside paths",
                     [folder](std::string_view, KeyKind kind, size_t keyNumber) -> std::optional<std::string> {
                         if (kind != KeyKind::Path) return std::nullopt;
                         return keyNumber % 2 == 0 ? jsonString(folder + std::string(1, '\0') + "/../other")
                                                   : jsonString(folder + "/a.txt" + std::string(1, '\0') + ".jpg");
                     },
                     std::nullopt});
}

TEST_F(HostileArguments, AZeroCharacterEndsAFolderPath) {
    // The folder the library would see is listed, under that name: a zero character inside the
    // listing would cut the message on the wire.
    ServiceHarness harness;
    const std::string folder = path("dir");
    const std::string request = "{\"FuncName\":\"getFolderDayFileA\",\"argument\":{\"Dictpry\":" +
                                jsonString(folder + std::string(1, '\0') + "/../other") + "}}";
    EXPECT_EQ(harness.request(request),
              std::vector<std::string>{"$$$" + folder + "//a.txt;"});
}

TEST_F(HostileArguments, PathsIntoOtherFilesPipesAndDevices) {
    const std::vector<std::string> paths = hostilePaths();
    for (size_t shift = 0; shift < paths.size(); ++shift) {
        runEveryCommand({"hostile paths",
                         [&paths, shift](std::string_view, KeyKind kind, size_t keyNumber)
                             -> std::optional<std::string> {
                             if (kind != KeyKind::Path) return std::nullopt;
                             return jsonString(paths[(keyNumber + shift) % paths.size()]);
                         },
                         std::nullopt});
    }
}

}  // namespace
}  // namespace lenvaro
