// Request parsing, argument getters and the reply path of the command service.
#include "service/command_service.h"

#include <condition_variable>
#include <limits>
#include <mutex>
#include <utility>

#include "biometrics/face_match_worker.h"
#include "camera/preview.h"
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
                               std::function<size_t()> queuedBytes)
    : scratchDirectory_(std::move(scratchDirectory)),
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
    camInitCameraLib();
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
    requestText_ = std::move(text);
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
    return member != nullptr && member->isString() ? member->asString() : "";
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
    return value != nullptr && value->isString() ? value->asString() : "";
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

void CommandService::stopBackgroundWork() { faceMatchWorkers_->stop(); }

void CommandService::sendReply(const std::string& name, const std::string& result,
                               bool raw) const {
    if (sink_) sink_(composeReply(name, result, raw));
}

void CommandService::sendComposedReply(std::string message) const {
    if (sink_) sink_(std::move(message));
}

}  // namespace lenvaro
