// Magnetic stripe readers without a device: what key events type, how a swipe splits into
// tracks (and when it must not), where readers are looked for, and the settings. The readers
// themselves, grabbed and typed on through uinput, are tested in the VM (tests/devices).
#include <gtest/gtest.h>
#include <json/reader.h>

#include <filesystem>
#include <memory>

#include "../temp_dir.h"
#include "pictavo/cards/card_settings.h"
#include "pictavo/cards/mag_stripe_readers.h"
#include "pictavo/cards/simulated_card_reader.h"
#include "pictavo/status.h"
#include "us_keystrokes.h"

namespace {

using pictavo::MagStripeTracks;
using pictavo::splitMagStripeTracks;

TEST(MagStripeKeys, TheUsLayoutWithShiftAndCapsLock) {
    struct Case {
        uint16_t code;
        bool shift, caps;
        char expected;
    } const cases[] = {
        {KEY_A, false, false, 'a'},  {KEY_A, true, false, 'A'},     {KEY_A, false, true, 'A'},
        {KEY_A, true, true, 'a'},    {KEY_5, false, false, '5'},    {KEY_5, true, false, '%'},
        {KEY_5, false, true, '5'},   {KEY_6, true, false, '^'},     {KEY_SLASH, true, false, '?'},
        {KEY_SEMICOLON, false, false, ';'}, {KEY_EQUAL, false, false, '='},
        {KEY_EQUAL, true, false, '+'}, {KEY_KP7, true, false, '7'}, {KEY_ENTER, false, false, '\n'},
        {KEY_KPENTER, false, false, '\n'}, {KEY_LEFTSHIFT, false, false, '\0'},
        {KEY_F1, false, false, '\0'},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(pictavo::usKeyboardCharacter(c.code, c.shift, c.caps), c.expected)
            << "key " << c.code << " shift " << c.shift << " caps " << c.caps;
    }
}

TEST(MagStripeKeys, TheDecoderFollowsEitherShiftAndIgnoresRepeats) {
    pictavo::MagStripeKeyDecoder decoder;
    const std::string text = "%B4111^DOE/JOHN^2512?;4111=2512?\n";
    for (const auto& [code, value] : pictavo_test::usKeyEvents(text)) decoder.key(code, value);
    decoder.key(KEY_RIGHTSHIFT, 1);
    decoder.key(KEY_A, 1);
    decoder.key(KEY_A, 2);  // held: a reader never does this, and it types nothing more
    decoder.key(KEY_A, 0);
    decoder.key(KEY_RIGHTSHIFT, 0);
    decoder.key(KEY_A, 1);
    EXPECT_TRUE(decoder.inProgress());
    EXPECT_EQ(decoder.typed(), text + "Aa");
    const auto swipe = decoder.take();
    EXPECT_FALSE(swipe.broken);
    EXPECT_FALSE(decoder.inProgress());

    // Events lost: the swipe is broken even before a key follows, and the next one starts whole.
    decoder.markBroken();
    EXPECT_TRUE(decoder.inProgress());
    EXPECT_TRUE(decoder.take().broken);
    EXPECT_FALSE(decoder.take().broken);
}

TEST(MagStripeTracks, SplitsByTheSentinels) {
    struct Case {
        const char* typed;
        MagStripeTracks expected;
    } const cases[] = {
        {"%B4111111111111111^DOE/JOHN^2512101?;4111111111111111=2512101?+9944=12?\n",
         {"B4111111111111111^DOE/JOHN^2512101", "4111111111111111=2512101", "9944=12"}},
        // One Enter per track, a check character after the end sentinel.
        {"%B41^A B^25?\n;41=25?<\n", {"B41^A B^25", "41=25", ""}},
        {";6200000000000000000=30122010000000000?\n", {"", "6200000000000000000=30122010000000000", ""}},
        // The third track written with a second ';', or like track 1.
        {";111=2?;996200=0?", {"", "111=2", "996200=0"}},
        {"%A1?%B2?", {"A1", "", "B2"}},
        // A track the reader could not read.
        {"%E?;4111=25?+E?\n", {"", "4111=25", ""}},
    };
    for (const Case& c : cases) {
        const auto tracks = splitMagStripeTracks(c.typed);
        ASSERT_TRUE(tracks.has_value()) << c.typed;
        EXPECT_EQ(*tracks, c.expected) << c.typed;
    }
}

TEST(MagStripeTracks, NothingIsReturnedForHalfACard) {
    const std::string tooLong = ";" + std::string(200, '1') + "?";
    for (const std::string typed : {
             "%B4111^DOE/JOHN^25",            // the end never came
             ";4111=2512",                    //
             "%B4111^DOE;4111=2512?",         // a track 1 that lost its end, and track 2 inside
             ";4111=2%512?",                  // a sentinel inside a track
             ";41\n11=2512?",                 // a line end inside a track
             ";4111=25A12?",                  // a letter in a digits-only track
             ";E1?",                          // an error mark with data after it
             ";1?;2?;3?",                     // more tracks than a card has: two swipes mixed
             "%E?;E?+E?\n",                   // nothing read at all
             "hello\n",                       // typing, not a card
             "",
         }) {
        EXPECT_FALSE(splitMagStripeTracks(typed).has_value()) << typed;
    }
    EXPECT_FALSE(splitMagStripeTracks(tooLong).has_value());
    EXPECT_TRUE(splitMagStripeTracks(";" + std::string(199, '1') + "?").has_value());
}

TEST(MagStripeReaders, AreFoundByNameOrByIdLinkAndNothingElse) {
    pictavo_test::TempDir root;
    const auto device = [&](const std::string& event, const std::string& name) {
        root.write("sys/class/input/" + event + "/device/name", name + "\n");
        root.write("dev/input/" + event, "");
    };
    device("event0", "AT Translated Set 2 keyboard");
    device("event3", "USB Magnetic Stripe Reader");
    device("event12", "HID 0801:0001");  // a reader that tells no name; found by its link
    device("event4", "Logitech USB Keyboard");
    device("mouse0", "USB Magnetic Stripe Reader");  // not an event node
    std::filesystem::create_directories(root.path() / "dev/input/by-id");
    std::filesystem::create_symlink("../event12", root.path() / "dev/input/by-id/usb-ACME_Card_MSR-event-kbd");
    std::filesystem::create_symlink("../event4", root.path() / "dev/input/by-id/usb-Logitech_USB_Keyboard-event-kbd");

    const auto names = [](const std::vector<pictavo::MagStripeCandidate>& found) {
        std::vector<std::string> events;
        for (const auto& candidate : found) events.push_back(candidate.eventName);
        return events;
    };
    const auto defaults = pictavo::MagStripeSettings::defaultReaderPatterns();
    EXPECT_EQ(names(pictavo::findMagStripeCandidates(root.path().string(), defaults)),
              (std::vector<std::string>{"event3", "event12"}));
    EXPECT_EQ(names(pictavo::findMagStripeCandidates(root.path().string(),
                                                     {"/dev/input/by-id/usb-acme_*-event-kbd"})),
              (std::vector<std::string>{"event12"}));
    EXPECT_EQ(names(pictavo::findMagStripeCandidates(root.path().string(), {"Logitech*"})),
              (std::vector<std::string>{"event4"}));
    EXPECT_TRUE(pictavo::findMagStripeCandidates(root.path().string(), {}).empty());
    EXPECT_TRUE(pictavo::findMagStripeCandidates("/nonexistent", defaults).empty());
}

Json::Value parse(const std::string& text) {
    Json::Value value;
    Json::Reader().parse(text, value);
    return value;
}

TEST(MagStripeSettings, DefaultsKeysAndRefusals) {
    pictavo::MagStripeSettings settings;
    EXPECT_FALSE(settings.readers.empty());
    EXPECT_EQ(settings.waitMs, 5000);
    EXPECT_EQ(pictavo::readMagStripeSettings(
                  parse(R"({"readers": ["*Swiper*"], "waitMs": 0, "swipeGapMs": 1000})"), settings),
              "");
    EXPECT_EQ(settings.readers, std::vector<std::string>{"*Swiper*"});
    EXPECT_EQ(settings.waitMs, 0);
    EXPECT_EQ(settings.swipeGapMs, 1000);
    for (const char* bad : {R"({"readers": "*x*"})", R"({"readers": [""]})", R"({"waitMs": -1})",
                            R"({"waitMs": 60001})", R"({"swipeGapMs": 10})", R"({"wait": 1})",
                            R"([])"}) {
        pictavo::MagStripeSettings kept;
        kept.waitMs = 1234;
        EXPECT_NE(pictavo::readMagStripeSettings(parse(bad), kept), "") << bad;
        EXPECT_EQ(kept.waitMs, 1234) << bad;
    }
    // Within the cards section, and an empty list switches the readers off.
    pictavo::CardSettings cards = pictavo::sampleCards();
    EXPECT_EQ(pictavo::readCardSettings(parse(R"({"magStripe": {"readers": []}})"), "", cards), "");
    EXPECT_TRUE(cards.magStripe.readers.empty());
    EXPECT_NE(pictavo::readCardSettings(parse(R"({"magStripe": {"x": 1}})"), "", cards), "");
}

TEST(MagStripeCardReader, TheSimulatedCardAnswersUntilAReaderIsAttached) {
    pictavo_test::TempDir root;  // no input device at all
    pictavo::MagStripeSettings settings;
    settings.waitMs = 50;
    auto readers = std::make_unique<pictavo::MagStripeReaders>(settings, root.path().string());
    pictavo::MagStripeReaders* watched = readers.get();
    EXPECT_TRUE(watched->attached().empty());
    MagStripeTracks none;
    EXPECT_EQ(watched->read(none), pictavo::kFailed);  // nothing swiped within the wait

    pictavo::MagStripeCardReader reader(
        std::make_unique<pictavo::SimulatedCardReader>(pictavo::sampleCards()), std::move(readers));
    pictavo::MagCardRecord record{};
    ASSERT_EQ(reader.readMagCard(record), pictavo::kOk);
    EXPECT_EQ(record[0], 'B');  // the sample card's track 1
    pictavo::BankCardText bank{};
    EXPECT_EQ(reader.readBankCard(bank), pictavo::kOk);
}

}  // namespace
