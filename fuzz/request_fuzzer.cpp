// The request path over the recording fake: each input becomes a few requests, each naming one
// of the protocol's commands (now and then an unknown name, or a text that is not a request
// at all) with arguments of fuzzed JSON types and contents, answered by a library whose
// statuses, counts and texts are fuzzed too.
//
// After the requests, the library may deliver a preview frame, an auto-capture event and a
// saved signature on its own threads, into whatever state the requests left.
//
// Besides the sanitizers, every message sent is checked: one reply at most per request, none
// for a name in no table, and every message either a JSON reply naming its command or a marker
// message.
//
// Paths stay inside a sandbox directory under /tmp (removed at exit), which is also the working
// directory: a path argument is the sandbox followed by the fuzzed bytes with every ".."
// component defused, and a request taken whole from the input has no "/" or "\\" at all, so
// the commands that write files never touch any outside it (deleting goes through the fake
// library, which deletes nothing). Give input files to the fuzzer by absolute path: it changes
// directory at start.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "argument_keys.h"
#include "camera/preview.h"
#include "fake_pictavo.h"
#include "fuzz_input.h"
#include "json_text.h"
#include "files/text_encoding.h"
#include "common/paths.h"
#include "service/command_service.h"
#include "service/dispatch.h"

namespace {

using lenvaro::fuzzing::FuzzInput;
namespace keys = lenvaro::testing;
using lenvaro::testing::appendJsonString;
using pictavo_fake::Fake;
using pictavo_fake::Outcome;

std::string* sandbox = nullptr;

[[noreturn]] void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "request fuzzer: %s: %.300s\n", what, detail.c_str());
    std::abort();
}

// A path inside the sandbox: the fuzzed bytes, with each ".." component made harmless.
std::string sandboxPath(const std::string& bytes) {
    std::string path = *sandbox + "/";
    size_t start = 0;
    while (start <= bytes.size()) {
        size_t end = bytes.find('/', start);
        if (end == std::string::npos) end = bytes.size();
        std::string component = bytes.substr(start, end - start);
        if (component == "..") component = "_..";
        path += component;
        if (end < bytes.size()) path += '/';
        start = end + 1;
    }
    return path;
}

// Some texts a page might send, to reach deeper than random bytes do.
constexpr std::string_view kInterestingTexts[] = {
    "", "0", "1", "-1", "1|2|3", "/9j/4AAQSkZJRgABAQ==", "A==", "====", "\xff\xfe", "%41%4",
    "a=1&b=2", "x.jpg", "x.png", "x.pdf", "ftp://h/d", "http://127.0.0.1:1/", "\xe4\xb8\xad",
};

constexpr int kInterestingIntegers[] = {0, 1, -1, 2, 3, 100, 255, 2047, 2048, -2147483647 - 1,
                                        2147483647, 640, 1920};

void appendValue(std::string& json, FuzzInput& input, bool isPath) {
    switch (input.pick(12)) {
        case 0:
            json += std::to_string(kInterestingIntegers[input.pick(std::size(kInterestingIntegers))]);
            break;
        case 1:
            json += std::to_string(input.number<int64_t>());
            break;
        case 2: {  // a number with a fraction or an exponent
            const int32_t whole = input.number<int16_t>();
            json += std::to_string(whole) + (input.pick(2) ? ".5" : "e3");
            break;
        }
        case 3:
            json += input.pick(2) ? "true" : "false";
            break;
        case 4:
            json += "null";
            break;
        case 5:
            json += input.pick(2) ? "[1,\"a\"]" : "{\"k\":1}";
            break;
        case 6: {  // a long text of one repeated byte
            const size_t length = size_t{input.number<uint16_t>()} + 1;
            const std::string text(length, static_cast<char>(input.byte()));
            appendJsonString(json, isPath ? sandboxPath(text) : text);
            break;
        }
        case 7: {
            const std::string text(kInterestingTexts[input.pick(std::size(kInterestingTexts))]);
            appendJsonString(json, isPath ? sandboxPath(text) : text);
            break;
        }
        case 8: {  // a number written as a text
            const std::string text = std::to_string(input.number<int8_t>());
            appendJsonString(json, isPath ? sandboxPath(text) : text);
            break;
        }
        default: {
            const std::string text = input.shortBytes();
            appendJsonString(json, isPath ? sandboxPath(text) : text);
            break;
        }
    }
}

std::string_view argumentKey(FuzzInput& input, bool& isPath) {
    isPath = false;
    switch (input.pick(4)) {
        case 0:
            return keys::kIntegerArgumentKeys[input.pick(std::size(keys::kIntegerArgumentKeys))];
        case 1:
            return keys::kFloatArgumentKeys[input.pick(std::size(keys::kFloatArgumentKeys))];
        case 2:
            return keys::kTextArgumentKeys[input.pick(std::size(keys::kTextArgumentKeys))];
        default:
            isPath = true;
            return keys::kPathArgumentKeys[input.pick(std::size(keys::kPathArgumentKeys))];
    }
}

// Stands for the name of a request text that was not built here.
const std::string kAnyName = "(any)";

// One request text, and the command name it carries ("" when it names none in the table).
std::string buildRequest(FuzzInput& input, std::string& name) {
    const auto& entries = lenvaro::CommandTable::instance().entries();
    const uint8_t selector = input.byte();
    if (selector == 0xFF) {  // the rest of the input as it stands, which may be any request
        name = kAnyName;
        // Without "/" and "\\" (which could spell "/" as an escape) no path in it leaves the
        // working directory, the sandbox.
        std::string text = input.rest();
        for (char& c : text) {
            if (c == '/' || c == '\\') c = '_';
        }
        return text;
    }
    std::string json = "{\"FuncName\":";
    if (selector < 0xF0) {
        name = std::string(entries[selector % entries.size()].name);
    } else {
        name = input.shortBytes();  // most likely no command at all
    }
    appendJsonString(json, name);
    if (input.pick(8) == 0) json += ",\"tag\":\"t\"";
    const size_t argumentForm = input.pick(16);
    if (argumentForm == 0) {
        json += ",\"argument\":[1,2]";
    } else if (argumentForm == 1) {
        json += ",\"argument\":null";
    } else if (argumentForm != 2) {
        json += ",\"argument\":{";
        const size_t count = input.pick(8);
        for (size_t i = 0; i < count; ++i) {
            if (i > 0) json += ',';
            bool isPath = false;
            appendJsonString(json, std::string(argumentKey(input, isPath)));
            json += ':';
            appendValue(json, input, isPath);
        }
        json += '}';
    }
    json += '}';
    if (lenvaro::CommandTable::instance().find(name) == nullptr) name.clear();
    return json;
}

// The library's answers for this input: statuses for every call, small counts where a function
// reports one, and the texts it returns.
void programLibrary(FuzzInput& input) {
    static const char* const kStatusFunctions[] = {
        "camOpenDev", "camCaptureImageFile", "idcardrfidReadIDCard", "idcardrfidGetOneFingerprintMsg",
        "fingerprintGetImage", "fingerprintGetFeature", "fingerprintContrast", "camMatchFaceByFile",
        "camAddFileToPDFList", "camCombinePDF", "signInit", "CamReadCardBas", "ocrCombineToString",
        "camUpdataFileHttp", "coderRecognizeBarcode", "otrRecog", "camGetSsseInfo",
        "camGetBankCardInfo", "camGetMagCard", "idcardrfidGetIDCardImage", "signOutPutFile",
    };
    static const char* const kCountFunctions[] = {
        "camGetDevCount", "camGetResolutionCount", "camGetMediaTypeCount", "camGetAudioDevCount",
        "camGetVideoEncodeCount", "ocrGetLanguageCount", "otrGetTemplateCount", "otrGetResultCount",
        "ocrRecognizeBarcode",
    };
    static const char* const kTextFunctions[] = {
        "camGetDevName", "camGetMediaTypeName", "camGetDevCusSN", "FileEncodeBase64",
        "camGetAudioDevName",
    };
    static constexpr int kStatuses[] = {0, 1, -1, -2, -100, 5, 2147483647, -2147483647 - 1};
    const uint8_t mask = input.byte();
    if (mask & 1) {
        for (const char* function : kStatusFunctions) {
            Fake::program(function, Outcome::returns(kStatuses[input.pick(std::size(kStatuses))]));
        }
    }
    if (mask & 2) {
        for (const char* function : kCountFunctions) {
            const int count = static_cast<int>(input.pick(6)) - 2;  // -2 to 3
            Fake::program(function, Outcome::returns(0).withInts({count}));
        }
    }
    if (mask & 4) {
        for (const char* function : kTextFunctions) {
            Outcome outcome = Outcome::returnsText(input.shortBytes());
            outcome.returnsNull = input.pick(4) == 0;
            Fake::program(function, outcome);
        }
    }
}

bool startsWith(const std::string& text, std::string_view prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// Messages a face match worker pushes on its own, at any time.
bool isWorkerPush(const std::string& message) {
    return startsWith(message, "{\"FuncName\":\"camStartAsyMatchFaceBase64Video\"");
}

void checkMessage(const std::string& message) {
    if (startsWith(message, "$*$") || startsWith(message, "$$$") || startsWith(message, "$-$")) {
        return;
    }
    if (!startsWith(message, "{\"FuncName\":\"") || message.back() != '}' ||
        message.find("\",\"result\":") == std::string::npos) {
        fail("malformed message", message);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A sandbox for every file the commands write, the documents folder included.
    char pattern[] = "/tmp/lenvaro-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr) fail("cannot make the sandbox", pattern);
    sandbox = new std::string(pattern);
    std::atexit([] { lenvaro::removeTree(*sandbox); });
    setenv("HOME", sandbox->c_str(), 1);
    setenv("XDG_CONFIG_HOME", (*sandbox + "/config").c_str(), 1);
    setenv("TMPDIR", sandbox->c_str(), 1);
    unsetenv("PICTAVO_FAKE_SCRIPT");
    unsetenv("PICTAVO_FAKE_LOG");
    // The service's scratch directory, made once: making and removing one per input would
    // cost more than the input.
    if (chdir(sandbox->c_str()) != 0 || mkdir((*sandbox + "/scratch").c_str(), 0700) != 0) {
        fail("cannot enter the sandbox", *sandbox);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static unsigned runs = 0;
    if (++runs % 4096 == 0) {
        // Written files pile up (each fingerprint capture keeps one); start afresh now and then.
        lenvaro::removeTree(*sandbox);
        if (mkdir(sandbox->c_str(), 0700) != 0 || chdir(sandbox->c_str()) != 0 ||
            mkdir((*sandbox + "/scratch").c_str(), 0700) != 0) {
            fail("cannot renew the sandbox", *sandbox);
        }
    }

    FuzzInput input(data, size);
    Fake::reset();
    lenvaro::resetPreview();
    programLibrary(input);

    std::mutex sentMutex;
    std::vector<std::string> sent;
    const auto takeSent = [&] {
        std::lock_guard<std::mutex> lock(sentMutex);
        return std::exchange(sent, {});
    };
    {
        lenvaro::CommandService service(*sandbox + "/scratch", [&](std::string text) {
            if (isWorkerPush(text)) return;
            std::lock_guard<std::mutex> lock(sentMutex);
            sent.push_back(std::move(text));
        });
        for (int request = 0; request < 4 && !input.empty(); ++request) {
            std::string name;
            const std::string text = buildRequest(input, name);
            takeSent();
            // As the endpoint hands it over: from the wire's UTF-8 to the internal code page.
            lenvaro::handleRequest(service, lenvaro::utf8ToAnsi(text));
            const std::vector<std::string> replies = takeSent();
            if (replies.size() > 1) fail("more than one reply to", text);
            if (name.empty() && !replies.empty()) fail("a reply to an unknown name", text);
            for (const std::string& message : replies) checkMessage(message);
        }
        // What the library may then report on its own threads, with the state those requests
        // left: a preview frame of a fuzzed size, an auto-capture event, a saved signature.
        const uint8_t callbacks = input.byte();
        if (callbacks & 1) {
            const int width = 1 + static_cast<int>(input.pick(96));
            const int height = 1 + static_cast<int>(input.pick(64));
            Fake::deliverPreviewFrame(width, height);
        }
        if (callbacks & 2) Fake::deliverAutoCaptureEvent(input.number<int32_t>());
        if (callbacks & 4) Fake::deliverSignSaved(input.pick(2) == 1);
        for (const std::string& message : takeSent()) checkMessage(message);
        // The destructor ends the face match workers, without their pushes.
    }
    return 0;
}
