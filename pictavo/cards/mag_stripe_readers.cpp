// Stripe readers over evdev.
#include "pictavo/cards/mag_stripe_readers.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <system_error>

#include "pictavo/cards/card_settings.h"
#include "pictavo/device_files.h"
#include "pictavo/status.h"

namespace pictavo {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kByIdPrefix = "/dev/input/by-id/";

bool matches(const std::string& pattern, const std::string& text) {
    return ::fnmatch(pattern.c_str(), text.c_str(), FNM_CASEFOLD) == 0;
}

bool isByIdPattern(const std::string& pattern) { return pattern.rfind(kByIdPrefix, 0) == 0; }

bool testBit(const uint8_t* bits, unsigned bit) { return (bits[bit / 8] >> (bit % 8)) & 1; }

// A device that can type what a stripe holds: letters, digits and the sentinels' keys. Mice,
// buttons and the like that share a name with a reader are left alone.
bool typesCardCharacters(int fd) {
    uint8_t keys[KEY_MAX / 8 + 1] = {};
    if (::ioctl(fd, EVIOCGBIT(EV_KEY, sizeof keys), keys) < 0) return false;
    for (const unsigned key : {KEY_A, KEY_Z, KEY_0, KEY_9, KEY_5, KEY_SEMICOLON, KEY_SLASH,
                               KEY_LEFTSHIFT}) {
        if (!testBit(keys, key)) return false;
    }
    return true;
}

// The modifiers as the device holds them now, after events were lost.
void readModifiers(int fd, bool& shift, bool& capsLock) {
    uint8_t keys[KEY_MAX / 8 + 1] = {};
    uint8_t leds[LED_MAX / 8 + 1] = {};
    shift = ::ioctl(fd, EVIOCGKEY(sizeof keys), keys) >= 0 &&
            (testBit(keys, KEY_LEFTSHIFT) || testBit(keys, KEY_RIGHTSHIFT));
    capsLock = ::ioctl(fd, EVIOCGLED(sizeof leds), leds) >= 0 && testBit(leds, LED_CAPSL);
}

std::string describe(int error) { return std::error_code(error, std::generic_category()).message(); }

}  // namespace

std::vector<MagStripeCandidate> findMagStripeCandidates(const std::string& root,
                                                        const std::vector<std::string>& patterns) {
    std::vector<std::pair<int, MagStripeCandidate>> found;
    const auto add = [&](const std::string& eventName, const std::string& name) {
        const int number = deviceNodeNumber(eventName, "event");
        if (number < 0) return;
        for (const auto& entry : found)
            if (entry.second.eventName == eventName) return;
        found.push_back({number, {eventName, name}});
    };
    std::error_code error;
    const fs::path classDir = fs::path(root) / "sys" / "class" / "input";
    for (fs::directory_iterator it(classDir, error), end; !error && it != end; it.increment(error)) {
        const std::string eventName = it->path().filename().string();
        if (deviceNodeNumber(eventName, "event") < 0) continue;
        const std::string name = readSysfsAttribute(it->path() / "device" / "name");
        if (name.empty()) continue;
        for (const std::string& pattern : patterns) {
            if (!isByIdPattern(pattern) && matches(pattern, name)) {
                add(eventName, name);
                break;
            }
        }
    }
    // The links udev makes from the USB device's own strings: usb-<maker>_<product>-event-kbd.
    const fs::path byId = fs::path(root) / "dev" / "input" / "by-id";
    error.clear();
    for (fs::directory_iterator it(byId, error), end; !error && it != end; it.increment(error)) {
        const std::string link = kByIdPrefix + it->path().filename().string();
        std::error_code linkError;
        const fs::path target = fs::read_symlink(it->path(), linkError);
        if (linkError) continue;
        const std::string eventName = target.filename().string();
        for (const std::string& pattern : patterns) {
            if (isByIdPattern(pattern) && matches(pattern, link)) {
                add(eventName, readSysfsAttribute(classDir / eventName / "device" / "name"));
                break;
            }
        }
    }
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<MagStripeCandidate> candidates;
    for (auto& entry : found) candidates.push_back(std::move(entry.second));
    return candidates;
}

// One reader held open and grabbed.
struct MagStripeReaders::Reader {
    std::string eventName;
    std::string path;
    int fd = -1;
    MagStripeKeyDecoder decoder;
    bool skippingToReport = false;  // events were lost; the rest of that packet is stale
    Clock::time_point lastKey;

    ~Reader() {
        if (fd >= 0) ::close(fd);  // closing lets go of the grab
    }
};

MagStripeReaders::MagStripeReaders(MagStripeSettings settings, std::string root)
    : settings_(std::move(settings)), root_(std::move(root)) {
    if (settings_.readers.empty()) return;
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        wake_[0] = wake_[1] = -1;
        return;
    }
    inotify_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (inotify_ >= 0) {
        const std::string input = (fs::path(root_) / "dev" / "input").string();
        // Without /dev/input (no input device yet) the periodic look finds readers as well.
        ::inotify_add_watch(inotify_, input.c_str(), IN_CREATE | IN_ATTRIB | IN_DELETE | IN_MOVED_TO);
    }
    // Readers plugged in already are held before the first read can ask.
    rescan();
    try {
        thread_ = std::thread(&MagStripeReaders::run, this);
    } catch (...) {
        // No thread, no readers: swipes type as they did before.
    }
}

MagStripeReaders::~MagStripeReaders() {
    stop_.store(true);
    if (wake_[1] >= 0) {
        const char byte = 0;
        [[maybe_unused]] const ssize_t ignored = ::write(wake_[1], &byte, 1);
    }
    if (thread_.joinable()) thread_.join();
    readers_.clear();
    for (const int fd : {inotify_, wake_[0], wake_[1]})
        if (fd >= 0) ::close(fd);
}

std::vector<std::string> MagStripeReaders::attached() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return attachedPaths_;
}

uint64_t MagStripeReaders::swipes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return swipeCount_;
}

int MagStripeReaders::read(MagStripeTracks& tracks) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto deadline = Clock::now() + std::chrono::milliseconds(settings_.waitMs);
    bool extended = false;
    for (;;) {
        if (latest_ && latest_->number > answered_ && Clock::now() - latest_->at <= kSwipeKept) {
            answered_ = latest_->number;
            if (!latest_->tracks) return kFailed;
            tracks = *latest_->tracks;
            return kOk;
        }
        if (Clock::now() >= deadline) {
            // A swipe under way when the wait ends is waited for, once: a card half through
            // the reader is not answered as no card.
            if (!underWay_ || extended) return kFailed;
            extended = true;
            deadline = Clock::now() + std::chrono::milliseconds(2 * settings_.swipeGapMs + 500);
        }
        changed_.wait_until(lock, deadline);
    }
}

void MagStripeReaders::run() {
    Clock::time_point nextScan = Clock::now() + std::chrono::milliseconds(kRescanMs);
    while (!stop_.load()) {
        const auto now = Clock::now();
        if (now >= nextScan) {
            rescan();
            nextScan = Clock::now() + std::chrono::milliseconds(kRescanMs);
        }
        // Swipes whose reader has fallen silent are over.
        Clock::time_point wakeAt = nextScan;
        for (auto& reader : readers_) {
            if (!reader->decoder.inProgress()) continue;
            const auto ends = reader->lastKey + std::chrono::milliseconds(settings_.swipeGapMs);
            if (Clock::now() >= ends) {
                finishSwipe(*reader);
            } else {
                wakeAt = std::min(wakeAt, ends);
            }
        }
        {
            const bool underWay = swipeUnderWay();
            std::lock_guard<std::mutex> lock(mutex_);
            underWay_ = underWay;
        }

        std::vector<pollfd> watched;
        watched.push_back({wake_[0], POLLIN, 0});
        if (inotify_ >= 0) watched.push_back({inotify_, POLLIN, 0});
        const size_t firstReader = watched.size();
        for (auto& reader : readers_) watched.push_back({reader->fd, POLLIN, 0});
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wakeAt - Clock::now());
        const int timeout = static_cast<int>(std::max<int64_t>(0, wait.count())) + 1;
        if (::poll(watched.data(), watched.size(), timeout) < 0 && errno != EINTR) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        if (stop_.load()) break;
        if (inotify_ >= 0 && (watched[1].revents & POLLIN) != 0) {
            char events[4096];
            while (::read(inotify_, events, sizeof events) > 0) {
            }
            nextScan = Clock::now();  // a node appeared, left or got its permissions
        }
        // Back to front, so that dropping a reader leaves the indices before it alone.
        for (size_t i = watched.size(); i-- > firstReader;) {
            if (watched[i].revents == 0) continue;
            Reader& reader = *readers_[i - firstReader];
            readEvents(reader);
            if (reader.fd < 0) drop(i - firstReader);
        }
    }
}

void MagStripeReaders::rescan() {
    const std::vector<MagStripeCandidate> candidates =
        findMagStripeCandidates(root_, settings_.readers);
    bool changed = false;
    for (const MagStripeCandidate& candidate : candidates) {
        const bool held = std::any_of(readers_.begin(), readers_.end(), [&](const auto& r) {
            return r->eventName == candidate.eventName;
        });
        const std::string seen = candidate.eventName + "|" + candidate.name;
        if (held || std::find(notKeyboards_.begin(), notKeyboards_.end(), seen) != notKeyboards_.end())
            continue;
        const std::string path = (fs::path(root_) / "dev" / "input" / candidate.eventName).string();
        const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            const std::string key = path + ":" + std::to_string(error);
            if (error != ENOENT && error != ENODEV &&
                std::find(reported_.begin(), reported_.end(), key) == reported_.end()) {
                reported_.push_back(key);
                std::cerr << "pictavo: the magnetic stripe reader " << path << " (" << candidate.name
                          << ") cannot be opened: " << describe(error)
                          << (error == EACCES ? " (the user needs the input group, or a udev rule)"
                                              : "")
                          << "\n";
            }
            continue;
        }
        // A reader's other nodes (its consumer keys, say) share its name and type nothing.
        if (!typesCardCharacters(fd)) {
            notKeyboards_.push_back(seen);
            ::close(fd);
            continue;
        }
        // Grabbed, or not used at all: a swipe must never type into the clerk's window.
        if (::ioctl(fd, EVIOCGRAB, 1) != 0) {
            const int error = errno;
            const std::string key = path + ":grab";
            if (std::find(reported_.begin(), reported_.end(), key) == reported_.end()) {
                reported_.push_back(key);
                std::cerr << "pictavo: the magnetic stripe reader " << path << " (" << candidate.name
                          << ") is held by another program: " << describe(error) << "\n";
            }
            ::close(fd);
            continue;
        }
        auto reader = std::make_unique<Reader>();
        reader->eventName = candidate.eventName;
        reader->path = path;
        reader->fd = fd;
        bool shift = false;
        bool capsLock = false;
        readModifiers(fd, shift, capsLock);
        reader->decoder.setModifiers(shift, capsLock);
        readers_.push_back(std::move(reader));
        changed = true;
    }
    if (!changed) return;
    std::lock_guard<std::mutex> lock(mutex_);
    attachedPaths_.clear();
    for (const auto& reader : readers_) attachedPaths_.push_back(reader->path);
    everAttached_.store(true);
}

void MagStripeReaders::readEvents(Reader& reader) {
    input_event events[64];
    for (;;) {
        const ssize_t got = ::read(reader.fd, events, sizeof events);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && errno == EAGAIN) return;
        if (got <= 0) {
            // Pulled out (ENODEV), or the node is unusable: whatever was under way is no swipe.
            if (reader.decoder.inProgress()) {
                reader.decoder.markBroken();
                finishSwipe(reader);
            }
            ::close(reader.fd);
            reader.fd = -1;
            return;
        }
        const size_t count = static_cast<size_t>(got) / sizeof(input_event);
        for (size_t i = 0; i < count; ++i) {
            const input_event& event = events[i];
            if (event.type == EV_SYN && event.code == SYN_DROPPED) {
                // The kernel's buffer overflowed: keys of this swipe are gone. Events up to the
                // next report belong to the lost stretch; then the modifiers are read back.
                reader.decoder.markBroken();
                reader.skippingToReport = true;
                overflows_.fetch_add(1);
                reader.lastKey = Clock::now();
                continue;
            }
            if (reader.skippingToReport) {
                if (event.type == EV_SYN && event.code == SYN_REPORT) {
                    reader.skippingToReport = false;
                    bool shift = false;
                    bool capsLock = false;
                    readModifiers(reader.fd, shift, capsLock);
                    reader.decoder.setModifiers(shift, capsLock);
                }
                continue;
            }
            if (event.type == EV_KEY) {
                reader.decoder.key(event.code, event.value);
                reader.lastKey = Clock::now();
            }
        }
    }
}

void MagStripeReaders::finishSwipe(Reader& reader) {
    const MagStripeKeyDecoder::Swipe swipe = reader.decoder.take();
    Swipe done;
    if (!swipe.broken) done.tracks = splitMagStripeTracks(swipe.typed);
    done.at = Clock::now();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        done.number = ++swipeCount_;
        latest_ = std::move(done);
    }
    changed_.notify_all();
}

void MagStripeReaders::drop(size_t index) {
    readers_.erase(readers_.begin() + static_cast<std::ptrdiff_t>(index));
    std::lock_guard<std::mutex> lock(mutex_);
    attachedPaths_.clear();
    for (const auto& reader : readers_) attachedPaths_.push_back(reader->path);
}

bool MagStripeReaders::swipeUnderWay() const {
    return std::any_of(readers_.begin(), readers_.end(),
                       [](const auto& reader) { return reader->decoder.inProgress(); });
}

MagStripeCardReader::MagStripeCardReader(std::unique_ptr<CardReader> inner,
                                         std::unique_ptr<MagStripeReaders> readers)
    : ForwardingCardReader(std::move(inner)), readers_(std::move(readers)) {}

int MagStripeCardReader::readMagCard(MagCardRecord& record) {
    if (!readers_->everAttached()) return next().readMagCard(record);
    MagStripeTracks tracks;
    const int status = readers_->read(tracks);
    if (status != kOk) return status;
    // What a reader types is ASCII; each track fits its field with room for the zero unit.
    record.fill(0);
    for (size_t t = 0; t < tracks.size(); ++t) {
        const std::string& text = tracks[t];
        const size_t units = std::min(text.size(), kMagCardTrackUnits - 1);
        for (size_t i = 0; i < units; ++i)
            record[t * 2 * kMagCardTrackUnits + 2 * i] = static_cast<uint8_t>(text[i]);
    }
    return kOk;
}

}  // namespace pictavo
