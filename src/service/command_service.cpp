// Request parsing, argument getters and the reply path of the command service.
#include "service/command_service.h"

#include <condition_variable>
#include <limits>
#include <mutex>
#include <utility>

#include "biometrics/face_match_worker.h"
#include "camera/preview.h"
#include "common/code_page.h"
#include "files/text_encoding.h"
#include "pictavo.h"
#include "service/reply.h"

namespace lenvaro {
namespace {

std::atomic<CommandService*> theInstance{nullptr};

// Callbacks inside the service right now. Never destroyed: a library thread may call back while
// the process exits.
struct CallbackGate {
    std::mutex mutex;
    std::condition_variable empty;
    CommandService* open = nullptr;  // the service callbacks may enter, none while it goes
    int inside = 0;
};

CallbackGate& callbackGate() {
    static CallbackGate* const gate = new CallbackGate;
    return *gate;
}

// A string of the parsed request (UTF-8) in the internal code page. A zero character written as
// \u0000 stays where it was, as it would in UTF-8: the conversion would end the text there.
std::string toInternalCodePage(const std::string& utf8) {
    if (internalCodePageIsUtf8()) return utf8;
    std::string converted;
    size_t start = 0;
    for (;;) {
        const size_t zero = utf8.find('\0', start);
        converted += utf8ToAnsi(utf8.substr(start, zero - start));
        if (zero == std::string::npos) return converted;
        converted += '\0';
        start = zero + 1;
    }
}

}  // namespace

CommandService::CallbackAccess::CallbackAccess() {
    CallbackGate& gate = callbackGate();
    std::lock_guard<std::mutex> lock(gate.mutex);
    service_ = gate.open;
    if (service_ != nullptr) ++gate.inside;
}

CommandService::CallbackAccess::~CallbackAccess() {
    if (service_ == nullptr) return;
    CallbackGate& gate = callbackGate();
    std::lock_guard<std::mutex> lock(gate.mutex);
    if (--gate.inside == 0) gate.empty.notify_all();
}

CommandService::CommandService(std::string scratchDirectory, TextSink sink,
                               std::function<size_t()> queuedBytes, ServiceStatus* status)
    : status_(status != nullptr ? *status : ownStatus_),
      scratchDirectory_(std::move(scratchDirectory)),
      previewTempPath_(scratchDirectory_ + "/a.jpg"),
      sink_(std::move(sink)),
      queuedBytes_(std::move(queuedBytes)),
      faceMatchWorkers_(std::make_unique<FaceMatchWorkers>(*this)) {
    // The permissive default reader: comments allowed, any root accepted (the root is tested
    // afterwards), trailing text ignored.
    // Comments are skipped, not kept: nothing reads them back.
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    reader_.reset(builder.newCharReader());
    theInstance.store(this);
    {
        std::lock_guard<std::mutex> lock(callbackGate().mutex);
        callbackGate().open = this;
    }
    status_.setLibraryStatus(camInitCameraLib());
}

CommandService::~CommandService() {
    stopBackgroundWork();
    closeCallbacks();
    CommandService* self = this;
    theInstance.compare_exchange_strong(self, nullptr);
}

std::string CommandService::statusMembers() const {
    return cameraStatus.jsonMembers(previewState().width(), autoCaptureCount.load());
}

void CommandService::closeCallbacks() {
    CallbackGate& gate = callbackGate();
    std::unique_lock<std::mutex> lock(gate.mutex);
    if (gate.open == this) gate.open = nullptr;
    gate.empty.wait(lock, [&gate] { return gate.inside == 0; });
}

CommandService* CommandService::instance() { return theInstance.load(); }

bool CommandService::parseRequest(std::string text) {
    // Parsed as the page wrote it, in UTF-8, where every byte of a character is above 0x7F; only
    // the strings read out of it are converted. Converted first, a double-byte code page would
    // give the parser characters whose second byte reads as a backslash (GBK has 116 such).
    requestText_ = sanitizeUtf8(std::move(text));
    bool ok = false;
    try {
        ok = reader_->parse(requestText_.data(), requestText_.data() + requestText_.size(),
                            &request_, nullptr);
    } catch (const std::exception&) {
        // JsonCpp throws instead of failing on some texts (nesting beyond its stack limit).
        ok = false;
    }
    if (ok && request_.isObject()) return true;
    request_ = Json::Value();
    return false;
}

std::string CommandService::envelopeString(const char* key) const {
    if (!request_.isObject()) return "";
    const Json::Value* member = request_.find(key, key + std::char_traits<char>::length(key));
    return member != nullptr && member->isString() ? toInternalCodePage(member->asString()) : "";
}

const Json::Value* CommandService::argument(const char* key) const {
    if (!request_.isObject()) return nullptr;
    static constexpr char kArgument[] = "argument";
    const Json::Value* arguments = request_.find(kArgument, kArgument + sizeof kArgument - 1);
    if (arguments == nullptr || !arguments->isObject()) return nullptr;
    return arguments->find(key, key + std::char_traits<char>::length(key));
}

std::string CommandService::argString(const char* key) const {
    const Json::Value* value = argument(key);
    return value != nullptr && value->isString() ? toInternalCodePage(value->asString()) : "";
}

int32_t CommandService::argInt(const char* key) const {
    const Json::Value* value = argument(key);
    if (value == nullptr) return 0;
    // JsonCpp types a literal without fraction and exponent as an integer when it fits 64 bits.
    if (value->type() == Json::intValue) {
        const Json::Int64 number = value->asInt64();
        if (number < std::numeric_limits<int32_t>::min() ||
            number > std::numeric_limits<int32_t>::max()) {
            return 0;
        }
        return static_cast<int32_t>(number);
    }
    return 0;  // uintValue is above 2^63, always out of range
}

float CommandService::argFloat(const char* key) const {
    const Json::Value* value = argument(key);
    if (value == nullptr || value->type() != Json::realValue) return 0.0f;
    // JsonCpp also types integers too long for 64 bits as real; only a literal written with a
    // fraction or an exponent counts here.
    const ptrdiff_t start = value->getOffsetStart();
    const ptrdiff_t limit = value->getOffsetLimit();
    if (start < 0 || limit > static_cast<ptrdiff_t>(requestText_.size()) || start >= limit) {
        return 0.0f;
    }
    const std::string literal = requestText_.substr(static_cast<size_t>(start),
                                                    static_cast<size_t>(limit - start));
    if (literal.find_first_of(".eE") == std::string::npos) return 0.0f;
    return static_cast<float>(value->asDouble());
}

std::string CommandService::autoCapturePath() const {
    std::lock_guard<std::mutex> lock(autoCaptureMutex_);
    return autoCapturePath_;
}

void CommandService::setAutoCapturePath(std::string path) {
    std::lock_guard<std::mutex> lock(autoCaptureMutex_);
    autoCapturePath_ = std::move(path);
}

std::string CommandService::commandInHand() const {
    std::lock_guard<std::mutex> lock(commandInHandMutex_);
    return commandInHand_;
}

void CommandService::setCommandInHand(std::string name) {
    std::lock_guard<std::mutex> lock(commandInHandMutex_);
    commandInHand_ = std::move(name);
}

void CommandService::stopBackgroundWork() { faceMatchWorkers_->stop(); }

void CommandService::sendReply(const std::string& name, const std::string& result,
                               bool raw) const {
    if (sink_) sink_(composeReply(name, result, raw));
}

void CommandService::sendComposedReply(std::string message) const {
    if (sink_) sink_(std::move(message));
}

}  // namespace lenvaro
