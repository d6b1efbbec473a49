// The fake's shared state: recorded calls, programmed outcomes, the script and the call log file,
// registered callbacks, and the threads that deliver callbacks.
#include <fcntl.h>
#include <json/json.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "common/base64.h"
#include "fake_state.h"

#ifdef _WIN32
// The C runtime's descriptors on Windows have no close-on-exec; binary keeps the lines as written.
#define O_CLOEXEC O_BINARY
#endif

namespace pictavo_fake {

Outcome Outcome::returns(int status) {
    Outcome outcome;
    outcome.status = status;
    return outcome;
}

Outcome Outcome::returnsText(std::string text) {
    Outcome outcome;
    outcome.text = std::move(text);
    return outcome;
}

Outcome& Outcome::withInts(std::vector<std::optional<int>> ints) {
    outInts = std::move(ints);
    return *this;
}

Outcome& Outcome::withTexts(std::vector<std::string> texts) {
    outTexts = std::move(texts);
    return *this;
}

Outcome& Outcome::withBytes(std::vector<std::vector<uint8_t>> bytes) {
    outBytes = std::move(bytes);
    return *this;
}

Outcome& Outcome::crashing() {
    crash = true;
    return *this;
}

Outcome& Outcome::delayed(int milliseconds) {
    delayMs = milliseconds;
    return *this;
}

std::string Call::str() const {
    std::string text = function + "(";
    for (size_t i = 0; i < args.size(); ++i) {
        if (i > 0) text += ", ";
        text += args[i];
    }
    return text + ")";
}

void putUtf16(std::vector<uint8_t>& record, size_t byteOffset, const std::u16string& text) {
    if (byteOffset + text.size() * 2 > record.size()) {
        detail::fail("putUtf16: " + std::to_string(text.size()) + " units at byte " +
                     std::to_string(byteOffset) + " overrun a record of " +
                     std::to_string(record.size()) + " bytes");
    }
    for (const char16_t unit : text) {
        record[byteOffset++] = static_cast<uint8_t>(unit & 0xFF);
        record[byteOffset++] = static_cast<uint8_t>(unit >> 8);
    }
}

void detail::fail(const std::string& message) {
    std::fprintf(stderr, "pictavo fake: %s\n", message.c_str());
    std::fflush(stderr);
    std::abort();
}

namespace {

using detail::fail;

struct StreamSettings {
    int width = 0;
    int height = 0;
    int fps = 0;
};

void checkStreamSettings(const StreamSettings& settings, const std::string& where) {
    if (settings.width <= 0 || settings.height <= 0 || settings.fps <= 0 || settings.fps > 1000) {
        fail(where +
             ": a preview stream needs a positive size and 1..1000 frames per second, not " +
             std::to_string(settings.width) + "x" + std::to_string(settings.height) + " at " +
             std::to_string(settings.fps));
    }
}

// The outcomes of one function and how far its calls have got; the last outcome repeats.
struct Sequence {
    std::vector<Outcome> outcomes;
    size_t next = 0;

    Outcome take() {
        const size_t index = std::min(next, outcomes.size() - 1);
        if (next < outcomes.size()) ++next;
        return outcomes[index];
    }
};

// ---- The script file ----

struct Script {
    std::map<std::string, std::vector<Outcome>> outcomes;
    std::optional<StreamSettings> stream;
};

std::vector<uint8_t> decodeBase64(const std::string& text, const std::string& where) {
    // The service's decoder reads stray characters as zero bits; a typo here should not.
    const bool valid = std::all_of(text.begin(), text.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/' || c == '=' ||
               c == '\r' || c == '\n';
    });
    if (!valid) fail(where + ": not base64");
    size_t decoded = 0;
    const std::string bytes = lenvaro::base64Decode(text, text.size(), decoded);
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

Outcome parseOutcome(const Json::Value& value, const std::string& where) {
    if (!value.isObject()) fail(where + ": an outcome is a JSON object");
    Outcome outcome;
    for (const std::string& key : value.getMemberNames()) {
        const Json::Value& v = value[key];
        const std::string at = where + "." + key;
        const auto expect = [&](bool ok, const char* what) {
            if (!ok) fail(at + ": expected " + what);
        };
        if (key == "status") {
            expect(v.isInt(), "an integer");
            outcome.status = v.asInt();
        } else if (key == "text") {
            expect(v.isString(), "a string");
            outcome.text = v.asString();
        } else if (key == "returnsNull") {
            expect(v.isBool(), "true or false");
            outcome.returnsNull = v.asBool();
        } else if (key == "crash") {
            expect(v.isBool(), "true or false");
            outcome.crash = v.asBool();
        } else if (key == "delayMs") {
            expect(v.isInt() && v.asInt() >= 0, "a non-negative integer");
            outcome.delayMs = v.asInt();
        } else if (key == "outInts") {
            expect(v.isArray(), "an array of integers or nulls");
            for (const Json::Value& item : v) {
                expect(item.isNull() || item.isInt(), "an array of integers or nulls");
                outcome.outInts.push_back(item.isNull() ? std::nullopt
                                                        : std::optional<int>(item.asInt()));
            }
        } else if (key == "outTexts") {
            expect(v.isArray(), "an array of strings");
            for (const Json::Value& item : v) {
                expect(item.isString(), "an array of strings");
                outcome.outTexts.push_back(item.asString());
            }
        } else if (key == "outBytes") {
            expect(v.isArray(), "an array of base64 strings");
            for (const Json::Value& item : v) {
                expect(item.isString(), "an array of base64 strings");
                outcome.outBytes.push_back(decodeBase64(item.asString(), at));
            }
        } else {
            fail(at + ": unknown outcome key");
        }
    }
    return outcome;
}

Script readScript(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) fail("cannot read PICTAVO_FAKE_SCRIPT " + path);
    Json::CharReaderBuilder builder;
    builder["rejectDupKeys"] = true;
    builder["failIfExtra"] = true;
    Json::Value root;
    std::string errors;
    if (!Json::parseFromStream(builder, in, &root, &errors)) fail(path + ": " + errors);
    if (!root.isObject()) fail(path + ": the script is a JSON object");

    Script script;
    for (const std::string& name : root.getMemberNames()) {
        const Json::Value& value = root[name];
        const std::string where = path + ": " + name;
        if (name == "previewStream") {
            const auto field = [&](const char* key) {
                const Json::Value& v = value[key];
                if (!v.isInt()) fail(where + "." + key + ": expected an integer");
                return v.asInt();
            };
            if (!value.isObject()) fail(where + ": expected {width, height, fps}");
            script.stream = StreamSettings{field("width"), field("height"), field("fps")};
            checkStreamSettings(*script.stream, where);
            continue;
        }
        if (!detail::isLibraryFunction(name)) fail(where + ": no library function of that name");
        std::vector<Outcome>& sequence = script.outcomes[name];
        if (value.isObject()) {
            sequence.push_back(parseOutcome(value, where));
        } else if (value.isArray() && !value.empty()) {
            for (Json::ArrayIndex i = 0; i < value.size(); ++i) {
                sequence.push_back(parseOutcome(value[i], where + "[" + std::to_string(i) + "]"));
            }
        } else {
            fail(where + ": expected a non-empty array of outcomes");
        }
    }
    return script;
}

// ---- Frames ----

constexpr uint8_t kMidGrey = 128;

std::vector<uint8_t> greyFrame(int width, int height) {
    // Never empty, so even a 0x0 frame hands the callback a valid pointer.
    const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * 3;
    return std::vector<uint8_t>(std::max<size_t>(bytes, 1), kMidGrey);
}

// Mid-grey with a white column that moves one pixel per frame, so successive frames differ.
void paintStreamFrame(std::vector<uint8_t>& frame, int width, int height, uint64_t number) {
    std::fill(frame.begin(), frame.end(), kMidGrey);
    const size_t column = static_cast<size_t>(number % static_cast<uint64_t>(width));
    const size_t stride = static_cast<size_t>(width) * 3;
    for (size_t row = 0; row < static_cast<size_t>(height); ++row) {
        std::fill_n(frame.begin() + static_cast<std::ptrdiff_t>(row * stride + column * 3), 3,
                    uint8_t{255});
    }
}

// A thread delivering frames. `stop` and `finished` are guarded by the state's mutex.
struct Stream {
    StreamSettings settings;
    bool fromScript = false;
    bool stop = false;
    bool finished = false;
    std::thread thread;
};
using StreamList = std::vector<std::unique_ptr<Stream>>;

class UniqueFd {
  public:
    UniqueFd() = default;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

// ---- The state ----

class State {
  public:
    Outcome enterCall(Call call, const detail::Registration& registration);

    void reset();
    void program(const std::string& function, std::vector<Outcome> outcomes);
    std::vector<Call> calls();
    void clearCalls();
    PreviewFrameCallback* previewCallback();
    AutoCaptureCallback* autoCaptureCallback();
    SignSavedCallback* signSavedCallback();
    void startStream(const StreamSettings& settings);
    void stopStream();

  private:
    void readEnvironmentLocked();
    void appendToLogLocked(const std::string& line);
    void startStreamLocked(const StreamSettings& settings, bool fromScript);
    void retireStreamLocked();
    StreamList takeFinishedLocked();
    void joinAll(StreamList streams);
    void runStream(Stream& stream);

    std::mutex mutex_;
    std::condition_variable streamWake_;
    std::vector<Call> calls_;
    std::map<std::string, Sequence> programs_;
    std::map<std::string, Sequence> script_;
    std::optional<StreamSettings> scriptStream_;
    bool environmentRead_ = false;
    UniqueFd log_;
    PreviewFrameCallback* preview_ = nullptr;
    AutoCaptureCallback* autoCapture_ = nullptr;
    SignSavedCallback* signSaved_ = nullptr;
    std::unique_ptr<Stream> stream_;  // the running stream
    StreamList retired_;              // told to stop, not joined yet
};

// Never destroyed: a library call that comes late during process exit still finds it.
State& state() {
    static State* const instance = new State;
    return *instance;
}

Outcome State::enterCall(Call call, const detail::Registration& registration) {
    Outcome outcome;
    StreamList finished;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        readEnvironmentLocked();
        appendToLogLocked(call.str());
        if (registration.preview) {
            preview_ = *registration.preview;
            if (preview_ != nullptr && scriptStream_ && !stream_) {
                startStreamLocked(*scriptStream_, true);
            }
        }
        if (registration.autoCapture) autoCapture_ = *registration.autoCapture;
        if (registration.signSaved) signSaved_ = *registration.signSaved;
        // Only a signal to stop: waiting here could deadlock with a service that holds its own
        // lock while it closes, and the ABI allows a frame already under way to arrive late.
        if ((call.function == "camCloseDev" || call.function == "camUnInitCameraLib") && stream_ &&
            stream_->fromScript) {
            retireStreamLocked();
        }
        if (auto it = programs_.find(call.function); it != programs_.end()) {
            outcome = it->second.take();
        } else if (auto scripted = script_.find(call.function); scripted != script_.end()) {
            outcome = scripted->second.take();
        }
        finished = takeFinishedLocked();
        calls_.push_back(std::move(call));
    }
    joinAll(std::move(finished));
    return outcome;
}

void State::reset() {
    StreamList streams;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        retireStreamLocked();
        streams.swap(retired_);
        calls_.clear();
        programs_.clear();
        script_.clear();
        scriptStream_.reset();
        environmentRead_ = false;
        log_.reset();
        preview_ = nullptr;
        autoCapture_ = nullptr;
        signSaved_ = nullptr;
    }
    joinAll(std::move(streams));
}

void State::program(const std::string& function, std::vector<Outcome> outcomes) {
    if (!detail::isLibraryFunction(function)) fail("no library function named " + function);
    std::lock_guard<std::mutex> lock(mutex_);
    if (outcomes.empty()) {
        programs_.erase(function);
    } else {
        programs_[function] = Sequence{std::move(outcomes), 0};
    }
}

std::vector<Call> State::calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

void State::clearCalls() {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.clear();
}

PreviewFrameCallback* State::previewCallback() {
    std::lock_guard<std::mutex> lock(mutex_);
    return preview_;
}

AutoCaptureCallback* State::autoCaptureCallback() {
    std::lock_guard<std::mutex> lock(mutex_);
    return autoCapture_;
}

SignSavedCallback* State::signSavedCallback() {
    std::lock_guard<std::mutex> lock(mutex_);
    return signSaved_;
}

void State::startStream(const StreamSettings& settings) {
    checkStreamSettings(settings, "startPreviewStream");
    StreamList streams;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        startStreamLocked(settings, false);
        streams.swap(retired_);
    }
    joinAll(std::move(streams));
}

void State::stopStream() {
    StreamList streams;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        retireStreamLocked();
        streams.swap(retired_);
    }
    joinAll(std::move(streams));
}

void State::readEnvironmentLocked() {
    if (environmentRead_) return;
    environmentRead_ = true;
    if (const char* path = std::getenv("PICTAVO_FAKE_LOG"); path != nullptr && *path != '\0') {
        log_.reset(::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
        if (log_.get() < 0) {
            fail(std::string("cannot open PICTAVO_FAKE_LOG ") + path + ": " + std::strerror(errno));
        }
    }
    if (const char* path = std::getenv("PICTAVO_FAKE_SCRIPT"); path != nullptr && *path != '\0') {
        Script script = readScript(path);
        for (auto& [function, outcomes] : script.outcomes) {
            script_[function] = Sequence{std::move(outcomes), 0};
        }
        scriptStream_ = script.stream;
    }
}

void State::appendToLogLocked(const std::string& line) {
    if (log_.get() < 0) return;
    // One write per line on an O_APPEND descriptor: another process reading the file sees whole
    // lines at once, and nothing waits in a buffer if this process crashes.
    const std::string text = line + "\n";
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(log_.get(), text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fail(std::string("cannot write PICTAVO_FAKE_LOG: ") + std::strerror(errno));
        written += static_cast<size_t>(n);
    }
}

void State::startStreamLocked(const StreamSettings& settings, bool fromScript) {
    retireStreamLocked();
    stream_ = std::make_unique<Stream>();
    stream_->settings = settings;
    stream_->fromScript = fromScript;
    Stream* stream = stream_.get();
    stream_->thread = std::thread([this, stream] { runStream(*stream); });
}

void State::retireStreamLocked() {
    if (!stream_) return;
    stream_->stop = true;
    retired_.push_back(std::move(stream_));
    streamWake_.notify_all();
}

StreamList State::takeFinishedLocked() {
    StreamList finished;
    for (auto it = retired_.begin(); it != retired_.end();) {
        if ((*it)->finished) {
            finished.push_back(std::move(*it));
            it = retired_.erase(it);
        } else {
            ++it;
        }
    }
    return finished;
}

void State::joinAll(StreamList streams) {
    for (auto& stream : streams) {
        if (stream->thread.get_id() == std::this_thread::get_id()) {
            // A callback stopped its own stream; a later stop, reset or call joins it.
            std::lock_guard<std::mutex> lock(mutex_);
            retired_.push_back(std::move(stream));
            continue;
        }
        stream->thread.join();
    }
}

void State::runStream(Stream& stream) {
    using Clock = std::chrono::steady_clock;
    const StreamSettings settings = stream.settings;
    std::vector<uint8_t> frame = greyFrame(settings.width, settings.height);
    const auto interval = std::chrono::nanoseconds(1'000'000'000 / settings.fps);
    auto next = Clock::now();
    uint64_t number = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stream.stop) {
        PreviewFrameCallback* callback = preview_;
        lock.unlock();
        if (callback != nullptr) {
            paintStreamFrame(frame, settings.width, settings.height, number++);
            callback(frame.data(), settings.width, settings.height, 0);
        }
        lock.lock();
        // A slow callback delays the stream rather than earning it a burst of frames.
        next = std::max(next + interval, Clock::now());
        streamWake_.wait_until(lock, next, [&stream] { return stream.stop; });
    }
    stream.finished = true;
}

// Calls f on a new thread and waits for its result: the library's callbacks never come from the
// thread that called into it.
template <class F>
bool onOwnThread(F f) {
    bool result = false;
    std::thread thread([&] { result = f(); });
    thread.join();
    return result;
}

// Joins the fake's threads when the library is unloaded.
struct StreamsJoinedAtUnload {
    ~StreamsJoinedAtUnload() { state().stopStream(); }
} streamsJoinedAtUnload;

}  // namespace

Outcome detail::enterCall(Call call, const Registration& registration) {
    return state().enterCall(std::move(call), registration);
}

void Fake::reset() { state().reset(); }

void Fake::program(const std::string& function, Outcome outcome) {
    state().program(function, {std::move(outcome)});
}

void Fake::programSequence(const std::string& function, std::vector<Outcome> outcomes) {
    state().program(function, std::move(outcomes));
}

std::vector<Call> Fake::calls() { return state().calls(); }

std::vector<std::string> Fake::callLog() {
    std::vector<std::string> log;
    for (const Call& call : state().calls()) log.push_back(call.str());
    return log;
}

std::vector<std::string> Fake::callLog(const std::string& function) {
    // A misspelt name would otherwise read as "never called".
    if (!detail::isLibraryFunction(function))
        fail("callLog: no library function named " + function);
    std::vector<std::string> log;
    for (const Call& call : state().calls()) {
        if (call.function == function) log.push_back(call.str());
    }
    return log;
}

void Fake::clearCalls() { state().clearCalls(); }

PreviewFrameCallback* Fake::previewCallback() { return state().previewCallback(); }
AutoCaptureCallback* Fake::autoCaptureCallback() { return state().autoCaptureCallback(); }
SignSavedCallback* Fake::signSavedCallback() { return state().signSavedCallback(); }

bool Fake::deliverPreviewFrame(int width, int height,
                               const std::function<void(uint8_t*, int, int)>& paint) {
    if (width < 0 || height < 0) {
        fail("deliverPreviewFrame: negative size " + std::to_string(width) + "x" +
             std::to_string(height));
    }
    PreviewFrameCallback* callback = state().previewCallback();
    if (callback == nullptr) return false;
    std::vector<uint8_t> frame = greyFrame(width, height);
    if (paint) paint(frame.data(), width, height);
    return onOwnThread([&] { return callback(frame.data(), width, height, 0); });
}

bool Fake::deliverAutoCaptureEvent(int event) {
    AutoCaptureCallback* callback = state().autoCaptureCallback();
    if (callback == nullptr) return false;
    return onOwnThread([&] { return callback(event); });
}

bool Fake::deliverSignSaved(bool saved) {
    SignSavedCallback* callback = state().signSavedCallback();
    if (callback == nullptr) return false;
    return onOwnThread([&] { return callback(saved); });
}

void Fake::startPreviewStream(int width, int height, int framesPerSecond) {
    state().startStream(StreamSettings{width, height, framesPerSecond});
}

void Fake::stopPreviewStream() { state().stopStream(); }

}  // namespace pictavo_fake
