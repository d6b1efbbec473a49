// Magnetic stripe readers read through evdev from uinput keyboards: grabbed, decoded, split
// into tracks; swipes that lost keys (the kernel's buffer overflowed, the reader was pulled out)
// are never answered as half a card; two readers each give their own swipes.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>

#include <future>

#include "../pictavo/temp_dir.h"
#include "device_test_support.h"
#include "pictavo/cards/mag_stripe_readers.h"
#include "pictavo/status.h"

namespace lenvaro_devices {
namespace {

using namespace std::chrono_literals;
using pictavo::MagStripeReaders;
using pictavo::MagStripeTracks;

const std::string kSwipe =
    "%B4111111111111111^DOE/JOHN^2512101000000000000000000?;4111111111111111=25121010000000?\n";
const MagStripeTracks kTracks = {"B4111111111111111^DOE/JOHN^2512101000000000000000000",
                                 "4111111111111111=25121010000000", ""};
const std::string kOtherSwipe = "%B6200000000000000000^ZHANG/SAN^3012201?;6200000000000000000=30122010000000000?+996200000000000000000=000000000000000000000?\n";
const MagStripeTracks kOtherTracks = {"B6200000000000000000^ZHANG/SAN^3012201",
                                      "6200000000000000000=30122010000000000",
                                      "996200000000000000000=000000000000000000000"};

// Found by the default patterns; the gap is generous because an emulated computer stalls now
// and then, and a stall inside a swipe must not end it.
pictavo::MagStripeSettings testSettings(int waitMs = 3000) {
    pictavo::MagStripeSettings settings;
    settings.waitMs = waitMs;
    settings.swipeGapMs = 1000;
    return settings;
}

class MagStripeDevice : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_DEVICE_TESTS();
        ASSERT_EQ(::access("/dev/uinput", W_OK), 0) << "uinput is not loaded";
    }

    static bool attachedNode(const MagStripeReaders& readers, const std::string& node) {
        for (const std::string& path : readers.attached())
            if (path == node) return true;
        return false;
    }

    static int read(MagStripeReaders& readers, MagStripeTracks& tracks) {
        return readers.read(tracks);
    }
};

TEST_F(MagStripeDevice, ASwipeIsReadWholeAndTypesIntoNoOtherProgram) {
    UinputKeyboard reader("USB Magnetic Stripe Reader");
    UinputKeyboard keyboard("USB Keyboard", 0x0002);  // the clerk's own: never taken
    ASSERT_TRUE(reader.ok() && keyboard.ok());
    MagStripeReaders readers(testSettings());
    ASSERT_TRUE(eventually([&] { return attachedNode(readers, reader.eventNode()); }));
    EXPECT_EQ(readers.attached().size(), 1u);
    EXPECT_TRUE(readers.everAttached());

    // What a desktop reading the same device would see while it is grabbed: nothing.
    const int desktop = ::open(reader.eventNode().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(desktop, 0);
    reader.type(kSwipe);
    MagStripeTracks tracks;
    ASSERT_EQ(read(readers, tracks), pictavo::kOk);
    EXPECT_EQ(tracks, kTracks);
    input_event event{};
    EXPECT_EQ(::read(desktop, &event, sizeof event), -1);
    EXPECT_EQ(errno, EAGAIN);
    ::close(desktop);

    // Answered once: the next read waits, and without a swipe ends empty.
    EXPECT_EQ(read(readers, tracks), pictavo::kFailed);
}

TEST_F(MagStripeDevice, ASwipeMadeBeforeTheReadIsAnsweredAndOneDuringTheWaitToo) {
    UinputKeyboard reader("Magnetic Card Reader");
    ASSERT_TRUE(reader.ok());
    MagStripeReaders readers(testSettings(8000));
    ASSERT_TRUE(eventually([&] { return attachedNode(readers, reader.eventNode()); }));
    reader.type(kSwipe);
    std::this_thread::sleep_for(1500ms);  // swiped before the page asked
    MagStripeTracks tracks;
    ASSERT_EQ(read(readers, tracks), pictavo::kOk);
    EXPECT_EQ(tracks, kTracks);

    auto waiting = std::async(std::launch::async, [&] {
        MagStripeTracks during;
        const int status = read(readers, during);
        return std::make_pair(status, during);
    });
    std::this_thread::sleep_for(300ms);
    reader.type(kOtherSwipe);
    const auto [status, during] = waiting.get();
    ASSERT_EQ(status, pictavo::kOk);
    EXPECT_EQ(during, kOtherTracks);
}

TEST_F(MagStripeDevice, ASwipeThatOverflowsTheKernelsBufferIsDiscardedNotHalfRead) {
    UinputKeyboard reader("USB Magnetic Stripe Reader");
    ASSERT_TRUE(reader.ok());
    MagStripeReaders readers(testSettings());
    ASSERT_TRUE(eventually([&] { return attachedNode(readers, reader.eventNode()); }));
    const uint64_t before = readers.swipes();
    // The whole swipe in one go, from a thread the scheduler does not interrupt for the reading
    // thread: on the VM's one processor the kernel must drop events (SYN_DROPPED).
    std::thread burst([&] {
        sched_param priority{};
        priority.sched_priority = 10;
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority);
        reader.typeAtOnce(kOtherSwipe);
    });
    burst.join();
    MagStripeTracks tracks;
    EXPECT_EQ(read(readers, tracks), pictavo::kFailed);
    EXPECT_EQ(tracks, MagStripeTracks{});
    EXPECT_GE(readers.overflows(), 1u);  // it was the kernel's dropping that spoilt it
    EXPECT_EQ(readers.swipes(), before + 1);  // one swipe, thrown away whole

    // The reader itself is fine: the next swipe is read.
    reader.type(kSwipe);
    ASSERT_EQ(read(readers, tracks), pictavo::kOk);
    EXPECT_EQ(tracks, kTracks);
}

TEST_F(MagStripeDevice, AReaderPulledOutMidSwipeGivesNothingAndIsFoundWhenBack) {
    auto reader = std::make_unique<UinputKeyboard>("USB Magnetic Stripe Reader");
    ASSERT_TRUE(reader->ok());
    MagStripeReaders readers(testSettings(1500));
    ASSERT_TRUE(eventually([&] { return readers.attached().size() == 1; }));
    reader->type(kSwipe.substr(0, 30));
    reader.reset();  // pulled out halfway through
    ASSERT_TRUE(eventually([&] { return readers.attached().empty(); }));
    MagStripeTracks tracks;
    EXPECT_EQ(read(readers, tracks), pictavo::kFailed);

    UinputKeyboard back("USB Magnetic Stripe Reader");
    ASSERT_TRUE(back.ok());
    ASSERT_TRUE(eventually([&] { return attachedNode(readers, back.eventNode()); }));
    back.type(kSwipe);
    ASSERT_EQ(read(readers, tracks), pictavo::kOk);
    EXPECT_EQ(tracks, kTracks);
}

TEST_F(MagStripeDevice, TwoReadersTypingAtOnceEachGiveTheirOwnSwipe) {
    UinputKeyboard first("USB Magnetic Stripe Reader", 0x0001);
    UinputKeyboard second("Magnetic Stripe Reader 2", 0x0003);
    ASSERT_TRUE(first.ok() && second.ok());
    MagStripeReaders readers(testSettings(1000));
    ASSERT_TRUE(eventually([&] { return readers.attached().size() == 2; }));
    const uint64_t before = readers.swipes();
    // Key for key, turn about; the second reader's swipe is longer, so it ends last.
    for (size_t i = 0; i < kOtherSwipe.size(); ++i) {
        if (i < kSwipe.size()) first.type(kSwipe.substr(i, 1), 200us);
        second.type(kOtherSwipe.substr(i, 1), 200us);
    }
    ASSERT_TRUE(eventually([&] { return readers.swipes() == before + 2; }));
    MagStripeTracks tracks;
    ASSERT_EQ(read(readers, tracks), pictavo::kOk);
    EXPECT_EQ(tracks, kOtherTracks);  // the latest; neither mixed with the other
    EXPECT_EQ(read(readers, tracks), pictavo::kFailed);  // the older one is not answered later
}

TEST_F(MagStripeDevice, TheLibraryAnswersTheMagneticCardFromAReader) {
    UinputKeyboard reader("Lenvaro Test Swiper");  // no default pattern names it
    ASSERT_TRUE(reader.ok());
    pictavo_test::TempDir dir;
    const std::string config = dir.write("simulator.json", R"({
        "families": {"camera": false, "biometrics": false, "recognition": false,
                     "signpad": false, "upload": false},
        "cards": {"magStripe": {"readers": ["lenvaro test swiper"], "waitMs": 3000,
                                "swipeGapMs": 1000}}
    })");
    ::setenv("PICTAVO_CONFIG", config.c_str(), 1);
    void* library = ::dlopen(LENVARO_BUILTIN_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << ::dlerror();
    using ReadMagCard = int (*)(uint8_t*);
    const auto camGetMagCard = reinterpret_cast<ReadMagCard>(::dlsym(library, "camGetMagCard"));
    ASSERT_NE(camGetMagCard, nullptr);

    auto waiting = std::async(std::launch::async, [&] {
        std::array<uint8_t, 1200> record{};
        const int status = camGetMagCard(record.data());
        return std::make_pair(status, record);
    });
    std::this_thread::sleep_for(300ms);
    reader.type(kSwipe);  // not the simulated card's tracks
    const auto [status, record] = waiting.get();
    ASSERT_EQ(status, pictavo::kOk);
    // Three UTF-16 fields of 200 units.
    for (size_t track = 0; track < 3; ++track) {
        std::string text;
        for (size_t i = 0; i < 200 && record[track * 400 + 2 * i] != 0; ++i)
            text.push_back(static_cast<char>(record[track * 400 + 2 * i]));
        EXPECT_EQ(text, kTracks[track]) << "track " << track + 1;
    }
    // Without a swipe the record is left alone (the service has cleared it: empty fields).
    std::array<uint8_t, 1200> untouched{};
    untouched.fill(0xAA);
    EXPECT_EQ(camGetMagCard(untouched.data()), pictavo::kFailed);
    EXPECT_EQ(untouched[0], 0xAA);
    ::unsetenv("PICTAVO_CONFIG");  // read once, at the first call; nothing else here wants it
}

}  // namespace
}  // namespace lenvaro_devices
