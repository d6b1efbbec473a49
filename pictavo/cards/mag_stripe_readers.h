// Magnetic stripe readers that work as USB keyboards: found by name among the input devices,
// grabbed so that a swipe never types into the window the clerk is working in, and read on a
// thread of their own, so that a swipe made before the page asks is not lost.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "pictavo/cards/card_reader.h"
#include "pictavo/cards/mag_stripe_decoder.h"
#include "pictavo/cards/mag_stripe_settings.h"

namespace pictavo {

// An input device that the patterns name: its event node and what it was found by.
struct MagStripeCandidate {
    std::string eventName;  // "event5"
    std::string name;       // the device's name
};

// The event devices below `root` (its sys/class/input and dev/input/by-id) that the patterns
// name, in node order. Only the file system is read; whether a device is a keyboard is told
// when it is opened.
std::vector<MagStripeCandidate> findMagStripeCandidates(const std::string& root,
                                                        const std::vector<std::string>& patterns);

// The readers attached now and the swipes they deliver. Thread-safe.
class MagStripeReaders {
  public:
    // A swipe is answered for this long after it was made, once.
    static constexpr std::chrono::seconds kSwipeKept{60};
    // Readers come and go: the devices are looked at again when /dev/input changes, and at
    // least this often.
    static constexpr int kRescanMs = 2000;

    // Looks below `root` ("/" but in tests); starts the reading thread when there are patterns.
    explicit MagStripeReaders(MagStripeSettings settings, std::string root = "/");
    ~MagStripeReaders();  // lets go of the readers
    MagStripeReaders(const MagStripeReaders&) = delete;
    MagStripeReaders& operator=(const MagStripeReaders&) = delete;

    // The event nodes of the readers held now ("/dev/input/event5").
    std::vector<std::string> attached() const;
    // Whether any reader was ever attached: from then on swipes are what a read answers.
    bool everAttached() const { return everAttached_.load(); }

    // The latest swipe not yet answered, when it is less than a minute old; otherwise the first
    // swipe to end within the wait. kOk with its tracks; kFailed when none came, or when the
    // swipe could not be read whole (events lost, the reader pulled out, no card data).
    int read(MagStripeTracks& tracks);

    // Swipes that ended, whole or not, and the times the kernel dropped a reader's events
    // because they were not read in time; for the tests.
    uint64_t swipes() const;
    uint64_t overflows() const { return overflows_.load(); }

  private:
    struct Reader;
    struct Swipe {
        std::optional<MagStripeTracks> tracks;  // none: not read whole
        std::chrono::steady_clock::time_point at;
        uint64_t number = 0;
    };

    void run();
    void rescan();
    void readEvents(Reader& reader);
    void finishSwipe(Reader& reader);
    void drop(size_t index);
    bool swipeUnderWay() const;

    const MagStripeSettings settings_;
    const std::string root_;

    // Owned by the reading thread.
    std::vector<std::unique_ptr<Reader>> readers_;
    std::vector<std::string> reported_;  // open failures already told on stderr
    std::vector<std::string> notKeyboards_;  // "event7|name": matched, but types no card
    int inotify_ = -1;
    int wake_[2] = {-1, -1};

    mutable std::mutex mutex_;  // guards what follows
    std::condition_variable changed_;
    std::vector<std::string> attachedPaths_;
    bool underWay_ = false;  // a reader is in the middle of a swipe
    std::optional<Swipe> latest_;
    uint64_t answered_ = 0;  // the number of the last swipe answered
    uint64_t swipeCount_ = 0;

    std::atomic<bool> everAttached_{false};
    std::atomic<uint64_t> overflows_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A card reader whose magnetic stripe is read from the stripe readers once any is attached;
// everything else (and the stripe before that) goes to `inner`.
class MagStripeCardReader final : public ForwardingCardReader {
  public:
    MagStripeCardReader(std::unique_ptr<CardReader> inner,
                        std::unique_ptr<MagStripeReaders> readers);

    int readMagCard(MagCardRecord& record) override;

  private:
    const std::unique_ptr<MagStripeReaders> readers_;
};

}  // namespace pictavo
