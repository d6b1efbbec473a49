// The fake's C entry points: each records its arguments, then does what its outcome says.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "fake_state.h"

namespace pictavo_fake {
namespace {

using detail::fail;

// Sizes of the caller's buffers as the ABI states them. Outputs are checked against these, and a
// buffer reads as zeroed only when all of these bytes are zero.
// clang-format off
constexpr size_t kDeviceIdText       = 32;       // camGetDevPid, camGetDevVid, camGetDevSNEx
constexpr size_t kVideoEncodeName    = 256;      // camGetVideoEncodeName
constexpr size_t kIdCardRecord       = PICTAVO_ID_CARD_RECORD_SIZE;      // 776
constexpr size_t kFingerprintMessage = 1024;     // idcardrfidGetOneFingerprintMsg
constexpr size_t kSocialCardRecord   = PICTAVO_SOCIAL_CARD_RECORD_SIZE;  // 304
constexpr size_t kBankCardText       = PICTAVO_BANK_CARD_TEXT_SIZE;      // 108
constexpr size_t kMagCardRecord      = PICTAVO_MAG_CARD_RECORD_SIZE;     // 1200
// `out` of the IC card functions: each command passes the size its contract fixes.
constexpr size_t kIcCardOutShort     = 512;      // PIN verify, change, reload, unblock; debit
constexpr size_t kIcCardOut          = 1024;     // basic data, HSM keys, writes
constexpr size_t kIcCardOutRecords   = 2048;     // CamReadDebitRecord
constexpr size_t kIcCardOutFile      = 20480;    // CamReadCard, CamReadCard_HSM_Step2
constexpr size_t kFingerprintImage   = 262144;   // fingerprintGetImage image and raw; raw input
constexpr size_t kFingerprintFeature = 1024;     // fingerprintGetFeature output, contrast inputs
constexpr size_t kBarcodeResultSet   = sizeof(BarcodeResultSet);         // 84484
constexpr size_t kBarcodeText        = 2048;     // ocrGetBarcodeText
constexpr size_t kOcrLanguageName    = 128;      // ocrGetLanguageName
constexpr size_t kOcrText            = 10000;    // ocrCombineToString
constexpr size_t kTemplateName       = 1024;     // otrGetTemplateInfo, otrGetResultInfo name
constexpr size_t kTemplateValue      = 10000;    // otrGetResultInfo value
constexpr size_t kHttpAnswer         = 51200;    // camUpdataFileHttp
// clang-format on

// One argument of a call as an entry point hands it over. Plain arguments convert implicitly;
// raw char* and uint8_t* do not, so every buffer has to state its size through textOut, bytesOut
// or bytesIn.
struct Arg {
    enum class Kind {
        Int,
        Float,
        Bool,
        Text,
        IntOut,
        BoolOut,
        TextOut,
        BytesOut,
        BytesIn,
        Preview,
        AutoCapture,
        SignSaved,
        Sign
    };

    Kind kind;
    int intValue = 0;
    float floatValue = 0;
    bool boolValue = false;
    const char* text = nullptr;
    int* intOut = nullptr;
    bool* boolOut = nullptr;
    uint8_t* buffer = nullptr;  // TextOut, BytesOut, BytesIn
    size_t size = 0;
    PreviewFrameCallback* preview = nullptr;
    AutoCaptureCallback* autoCapture = nullptr;
    SignSavedCallback* signSaved = nullptr;
    const SignParam* sign = nullptr;

    Arg(int value) : kind(Kind::Int), intValue(value) {}
    Arg(float value) : kind(Kind::Float), floatValue(value) {}
    Arg(bool value) : kind(Kind::Bool), boolValue(value) {}
    Arg(const char* value) : kind(Kind::Text), text(value) {}
    Arg(int* value) : kind(Kind::IntOut), intOut(value) {}
    Arg(bool* value) : kind(Kind::BoolOut), boolOut(value) {}
    Arg(PreviewFrameCallback* cb) : kind(Kind::Preview), preview(cb) {}
    Arg(AutoCaptureCallback* cb) : kind(Kind::AutoCapture), autoCapture(cb) {}
    Arg(SignSavedCallback* cb) : kind(Kind::SignSaved), signSaved(cb) {}
    Arg(const SignParam& value) : kind(Kind::Sign), sign(&value) {}
    Arg(char*) = delete;
    Arg(uint8_t*) = delete;
    Arg(Kind bufferKind, uint8_t* data, size_t bytes)
        : kind(bufferKind), buffer(data), size(bytes) {}
};

Arg textOut(char* buffer, size_t size) {
    return Arg(Arg::Kind::TextOut, reinterpret_cast<uint8_t*>(buffer), size);
}
Arg bytesOut(uint8_t* buffer, size_t size) { return Arg(Arg::Kind::BytesOut, buffer, size); }
Arg bytesIn(uint8_t* buffer, size_t size) { return Arg(Arg::Kind::BytesIn, buffer, size); }

std::string quoted(const char* text) {
    return text == nullptr ? "null" : "\"" + std::string(text) + "\"";
}

std::string render(const Arg& arg, std::vector<std::vector<uint8_t>>& inputBytes) {
    using Kind = Arg::Kind;
    switch (arg.kind) {
        case Kind::Int:
            return std::to_string(arg.intValue);
        case Kind::Float: {
            char text[64];
            std::snprintf(text, sizeof text, "%g", static_cast<double>(arg.floatValue));
            return text;
        }
        case Kind::Bool:
            return arg.boolValue ? "true" : "false";
        case Kind::Text:
            return quoted(arg.text);
        case Kind::IntOut:
            return arg.intOut == nullptr ? "null" : "&" + std::to_string(*arg.intOut);
        case Kind::BoolOut:
            return arg.boolOut == nullptr ? "null" : (*arg.boolOut ? "&true" : "&false");
        case Kind::TextOut:
        case Kind::BytesOut: {
            if (arg.buffer == nullptr) return "null";
            const bool zeroed =
                std::all_of(arg.buffer, arg.buffer + arg.size, [](uint8_t b) { return b == 0; });
            return (zeroed ? "zeroed[" : "dirty[") + std::to_string(arg.size) + "]";
        }
        case Kind::BytesIn:
            if (arg.buffer == nullptr) {
                inputBytes.emplace_back();
                return "null";
            }
            inputBytes.emplace_back(arg.buffer, arg.buffer + arg.size);
            return "bytes[" + std::to_string(arg.size) + "]";
        case Kind::Preview:
        case Kind::AutoCapture:
        case Kind::SignSaved:
            // Only the pointer of the argument's own type is set.
            return arg.preview || arg.autoCapture || arg.signSaved ? "cb" : "null";
        case Kind::Sign: {
            const SignParam& p = *arg.sign;
            std::string text = "{";
            for (int value : {p.left, p.ntop, p.right, p.bottom, p.BR, p.BG, p.BB, p.BT, p.R, p.G,
                              p.B, p.nBackNum}) {
                text += std::to_string(value) + ", ";
            }
            return text + quoted(p.filepath) + "}";
        }
    }
    return "?";
}

bool isIntOutput(const Arg& arg) {
    return arg.kind == Arg::Kind::IntOut || arg.kind == Arg::Kind::BoolOut;
}

// A programmed output that has nowhere to go, or would overrun the caller's buffer, is a mistake
// in the test; it fails here, before anything is written.
void checkOutputsFit(const char* function, std::initializer_list<Arg> args,
                     const Outcome& outcome) {
    size_t ints = 0;
    size_t texts = 0;
    size_t bytes = 0;
    for (const Arg& arg : args) {
        if (isIntOutput(arg)) ++ints;
        if (arg.kind == Arg::Kind::TextOut) {
            if (texts < outcome.outTexts.size() && outcome.outTexts[texts].size() + 1 > arg.size) {
                fail(std::string(function) + ": programmed text " + std::to_string(texts) + " is " +
                     std::to_string(outcome.outTexts[texts].size()) +
                     " bytes plus its terminating zero, but the caller's buffer holds " +
                     std::to_string(arg.size));
            }
            ++texts;
        }
        if (arg.kind == Arg::Kind::BytesOut) {
            if (bytes < outcome.outBytes.size() && outcome.outBytes[bytes].size() > arg.size) {
                fail(std::string(function) + ": programmed bytes " + std::to_string(bytes) +
                     " are " + std::to_string(outcome.outBytes[bytes].size()) +
                     " bytes, but the caller's buffer holds " + std::to_string(arg.size));
            }
            ++bytes;
        }
    }
    const auto tooMany = [&](size_t programmed, size_t available, const char* what) {
        if (programmed > available) {
            fail(std::string(function) + ": programmed " + std::to_string(programmed) + " " + what +
                 " but the function has " + std::to_string(available));
        }
    };
    tooMany(outcome.outInts.size(), ints, "outInts");
    tooMany(outcome.outTexts.size(), texts, "outTexts");
    tooMany(outcome.outBytes.size(), bytes, "outBytes");
}

// Writes the programmed outputs in argument order; null pointers are skipped.
void writeOutputs(std::initializer_list<Arg> args, const Outcome& outcome) {
    size_t ints = 0;
    size_t texts = 0;
    size_t bytes = 0;
    for (const Arg& arg : args) {
        if (isIntOutput(arg)) {
            const size_t index = ints++;
            if (index >= outcome.outInts.size() || !outcome.outInts[index]) continue;
            const int value = *outcome.outInts[index];
            if (arg.intOut != nullptr) *arg.intOut = value;
            if (arg.boolOut != nullptr) *arg.boolOut = value != 0;
        } else if (arg.kind == Arg::Kind::TextOut) {
            const size_t index = texts++;
            if (index >= outcome.outTexts.size() || arg.buffer == nullptr) continue;
            const std::string& text = outcome.outTexts[index];
            std::memcpy(arg.buffer, text.c_str(), text.size() + 1);
        } else if (arg.kind == Arg::Kind::BytesOut) {
            const size_t index = bytes++;
            if (index >= outcome.outBytes.size() || arg.buffer == nullptr) continue;
            const std::vector<uint8_t>& data = outcome.outBytes[index];
            std::copy(data.begin(), data.end(), arg.buffer);
        }
    }
}

// Returned texts must stay valid until the next call of the same function on the same thread.
// They are kept per thread in one table that is never destroyed, not in thread_local storage:
// built as a DLL with MinGW, a thread_local with a destructor corrupts the heap when its thread
// ends (the service's command worker, at every quit).
const char* keepReturnedText(const char* function, const Outcome& outcome) {
    if (outcome.returnsNull) return nullptr;
    static std::mutex mutex;
    static auto* returned = new std::map<std::pair<std::thread::id, std::string>, std::string>;
    const std::lock_guard<std::mutex> lock(mutex);
    std::string& slot = (*returned)[{std::this_thread::get_id(), function}];
    slot = outcome.text.value_or("");
    return slot.c_str();
}

template <class Result>
Result enterLibrary(const char* function, std::initializer_list<Arg> args) noexcept {
    try {
        Call call;
        call.function = function;
        detail::Registration registration;
        for (const Arg& arg : args) {
            call.args.push_back(render(arg, call.inputBytes));
            if (arg.kind == Arg::Kind::Preview) registration.preview = arg.preview;
            if (arg.kind == Arg::Kind::AutoCapture) registration.autoCapture = arg.autoCapture;
            if (arg.kind == Arg::Kind::SignSaved) registration.signSaved = arg.signSaved;
        }
        const Outcome outcome = detail::enterCall(std::move(call), registration);
        checkOutputsFit(function, args, outcome);
        if (outcome.delayMs > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(outcome.delayMs));
        }
        if (outcome.crash) std::raise(SIGSEGV);
        writeOutputs(args, outcome);
        if constexpr (std::is_same_v<Result, int>) {
            return outcome.status;
        } else {
            return keepReturnedText(function, outcome);
        }
    } catch (const std::exception& e) {
        fail(std::string(function) + ": " + e.what());
    } catch (...) {
        fail(std::string(function) + ": unknown exception");
    }
}

#define FAKE_UNPAREN(...) __VA_ARGS__

constexpr const char* kFunctionNames[] = {
#define FAKE_FUNCTION(result, name, params, args) #name,
#include "pictavo_functions.inc"
#undef FAKE_FUNCTION
};
static_assert(std::size(kFunctionNames) == 119, "pictavo.h declares 119 functions");

}  // namespace

bool detail::isLibraryFunction(const std::string& name) {
    return std::find(std::begin(kFunctionNames), std::end(kFunctionNames), name) !=
           std::end(kFunctionNames);
}

}  // namespace pictavo_fake

extern "C" {
// The argument wrappers and the buffer size table live in pictavo_fake's file-local namespace.
using namespace pictavo_fake;

#define FAKE_FUNCTION(result, name, params, args) \
    result name params { return enterLibrary<result>(#name, {FAKE_UNPAREN args}); }
#include "pictavo_functions.inc"
#undef FAKE_FUNCTION
}
