// Real ID card readers without hardware: the module emulator on a pseudo-terminal (the serial
// transport as the library opens it) and behind fake USB bulk endpoints, the reader family in
// front of the simulated card, and the maker's photo decoder played by stand-ins.
#include <gtest/gtest.h>
#include <libusb.h>

#include <deque>
#include <fstream>
#include <functional>
#include <iterator>

#include "../temp_dir.h"
#include "pictavo/cards/card_settings.h"
#include "pictavo/cards/sam_id_card_reader.h"
#include "pictavo/cards/sam_serial_link.h"
#include "pictavo/cards/simulated_card_reader.h"
#include "pictavo/status.h"
#include "sam_module_emulator.h"

namespace {

using namespace pictavo;
using samtest::EmulatedCard;
using samtest::PtySamModule;
using samtest::SamModuleEmulator;

EmulatedCard cardOf(const std::u16string& name, size_t fingerprintBytes = 1024) {
    EmulatedCard card;
    card.text = samtest::residentText({name, u"1", u"01", u"19900307", u"示例路1号",
                                       u"110101199003071233", u"示例公安局", u"20200101", u"长期"});
    card.fingerprintBytes = fingerprintBytes;
    return card;
}

SteadyTime inSeconds(int seconds) { return std::chrono::steady_clock::now() + std::chrono::seconds(seconds); }

TEST(SamModule, ReadsACardWhateverTheLineDoes) {
    const struct {
        const char* name;
        std::function<void(SamModuleEmulator&)> setUp;
        SamOutcome outcome;
        size_t fingerprintBytes;
    } cases[] = {
        {"two fingerprint records", [](SamModuleEmulator&) {}, SamOutcome::kRead, 1024},
        {"one", [](SamModuleEmulator& m) { m.putCard(cardOf(u"甲", 512)); }, SamOutcome::kRead, 512},
        {"none", [](SamModuleEmulator& m) { m.putCard(cardOf(u"甲", 0)); }, SamOutcome::kRead, 0},
        {"a module without the read with fingerprints",
         [](SamModuleEmulator& m) { m.setKnowsFingerprintRead(false); }, SamOutcome::kRead, 0},
        {"noise before every reply", [](SamModuleEmulator& m) { m.setNoiseBeforeReplies(true); },
         SamOutcome::kRead, 1024},
        {"replies in pieces", [](SamModuleEmulator& m) { m.setPieceSize(61); }, SamOutcome::kRead, 1024},
        {"one damaged reply", [](SamModuleEmulator& m) { m.damageNextReplies(1); }, SamOutcome::kRead, 1024},
        {"damaged twice", [](SamModuleEmulator& m) { m.damageNextReplies(2); }, SamOutcome::kSilent, 0},
        {"no card", [](SamModuleEmulator& m) { m.removeCard(); }, SamOutcome::kNoCard, 0},
        {"silence", [](SamModuleEmulator& m) { m.setSilent(true); }, SamOutcome::kSilent, 0},
    };
    for (const auto& test : cases) {
        PtySamModule pty;
        ASSERT_TRUE(pty.ready());
        pty.module().putCard(cardOf(u"甲"));
        test.setUp(pty.module());
        std::string error;
        SamModule module(openSerialSamLink(pty.path(), error));
        SamCardData card;
        EXPECT_EQ(module.readCard(card, inSeconds(5)), test.outcome) << test.name;
        if (test.outcome != SamOutcome::kRead) continue;
        EXPECT_EQ(idCardFields(card.text.data())[0], u"甲") << test.name;
        EXPECT_EQ(card.photo.size(), 1024u) << test.name;
        ASSERT_EQ(card.fingerprints.size(), test.fingerprintBytes) << test.name;
        if (test.fingerprintBytes > 512) {
            EXPECT_EQ(card.fingerprints[512], cardOf(u"甲").fingerprintByte(1, 0)) << test.name;
        }
    }
}

TEST(SamModule, AModuleThatReadsOnceGivesNoCardUntilTheCardLeaves) {
    PtySamModule pty;
    pty.module().putCard(cardOf(u"甲"));
    pty.module().setReadsOnceUntilRemoved(true);
    std::string error;
    SamModule module(openSerialSamLink(pty.path(), error));
    SamCardData card;
    EXPECT_EQ(module.readCard(card, inSeconds(5)), SamOutcome::kRead);
    EXPECT_EQ(module.readCard(card, inSeconds(5)), SamOutcome::kNoCard);
    pty.module().putCard(cardOf(u"乙"));
    EXPECT_EQ(module.readCard(card, inSeconds(5)), SamOutcome::kRead);
    EXPECT_EQ(idCardFields(card.text.data())[0], u"乙");
}

// A module behind fake bulk endpoints: each request frame sent OUT is answered IN, 64 bytes a
// packet; unplugging makes every transfer fail as libusb does.
class EmulatedUsbModule {
  public:
    SamModuleEmulator module;
    bool unplugged = false;

    class Endpoints final : public UsbBulkEndpoints {
      public:
        explicit Endpoints(EmulatedUsbModule& owner) : owner_(owner) {}
        int bulkOut(const uint8_t* data, int size, int& transferred, unsigned) override {
            if (owner_.unplugged) return LIBUSB_ERROR_NO_DEVICE;
            requests_.feed(data, static_cast<size_t>(size));
            while (std::optional<Bytes> request = requests_.next()) {
                const Bytes reply = owner_.module.reply(*request);
                pending_.insert(pending_.end(), reply.begin(), reply.end());
            }
            transferred = size;
            return 0;
        }
        int bulkIn(uint8_t* data, int size, int& transferred, unsigned) override {
            transferred = 0;
            if (owner_.unplugged) return LIBUSB_ERROR_NO_DEVICE;
            if (pending_.empty()) return LIBUSB_ERROR_TIMEOUT;
            while (transferred < std::min(size, 64) && !pending_.empty()) {
                data[transferred++] = pending_.front();
                pending_.pop_front();
            }
            return 0;
        }
        int inPacketSize() const override { return 64; }

      private:
        EmulatedUsbModule& owner_;
        SamFrameParser requests_{2};
        std::deque<uint8_t> pending_;
    };
};

class FakeUsbBus final : public UsbSamBus {
  public:
    explicit FakeUsbBus(EmulatedUsbModule& module) : module_(module) {}
    std::vector<std::string> present() override {
        return module_.unplugged ? std::vector<std::string>{} : std::vector<std::string>{"usb:1.7"};
    }
    std::unique_ptr<SamLink> open(const std::string&, std::string&) override {
        return makeUsbSamLink(std::make_unique<EmulatedUsbModule::Endpoints>(module_));
    }

  private:
    EmulatedUsbModule& module_;
};

std::vector<uint8_t> fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::u16string nameIn(const IdCardRecord& record) {
    std::u16string name;
    for (size_t at = 0; at < 60 && (record[at] | record[at + 1]) != 0; at += 2) {
        name.push_back(static_cast<char16_t>(record[at] | record[at + 1] << 8));
    }
    return name;
}

SamIdCardReader readerOn(const std::string& port, std::unique_ptr<UsbSamBus> usb,
                         PhotoDecoderSettings decoder = {}) {
    auto readers = std::make_unique<SamReaders>(
        port.empty() ? std::vector<std::string>{} : std::vector<std::string>{port}, std::move(usb),
        openSerialSamLink);
    return SamIdCardReader(std::move(readers), std::move(decoder),
                           std::make_unique<SimulatedCardReader>(sampleCards()));
}

TEST(SamIdCardReader, ARealReaderAnswersAloneWhileAttachedAndNeverWithAnEarlierCard) {
    pictavo_test::TempDir scratch;
    const std::string photo = scratch.file("head.bmp");
    PtySamModule pty;
    EmulatedCard moved = cardOf(u"甲");
    moved.additionalAddress = {0xB0, 0x65, 0x40, 0x57};  // 新址, the address endorsed since
    pty.module().putCard(moved);
    SamIdCardReader reader = readerOn(pty.path(), nullptr, {PICTAVO_TEST_PHOTO_DECODER, 602, false});
    IdCardRecord record{};
    ASSERT_EQ(reader.readIdCard(record, photo), kOk);
    EXPECT_EQ(nameIn(record), u"甲");
    // The additional address in the library's own part of the record.
    EXPECT_EQ(std::vector<uint8_t>(record.begin() + 476, record.begin() + 482),
              (std::vector<uint8_t>{0xB0, 0x65, 0x40, 0x57, 0, 0}));
    // The stand-in decoder's pattern, upright: top left B 0 G 0, bottom right B 202 G 250, and
    // R the first byte of the card's encoded photo. Bitmap rows run bottom first, 308 bytes.
    const std::vector<uint8_t> bitmap = fileBytes(photo);
    ASSERT_EQ(bitmap.size(), 54u + 308 * 126);
    EXPECT_EQ(std::vector<uint8_t>(bitmap.begin() + 54 + 308 * 125, bitmap.begin() + 54 + 308 * 125 + 3),
              (std::vector<uint8_t>{0, 0, 0x5A}));
    EXPECT_EQ(std::vector<uint8_t>(bitmap.begin() + 54 + 303, bitmap.begin() + 54 + 306),
              (std::vector<uint8_t>{202, 250, 0x5A}));
    IdFingerprintMessage message{};
    int status = -1;
    ASSERT_EQ(reader.readIdFingerprint(1, message, status), kOk);
    EXPECT_EQ(message[0], cardOf(u"甲").fingerprintByte(1, 0));
    EXPECT_EQ(reader.saveIdCardImages(0, scratch.file("front.bmp"), scratch.file("back.bmp")), kOk);
    EXPECT_EQ(fileBytes(scratch.file("front.bmp")).size(), 54u + 856 * 3 * 540);

    pty.module().removeCard();  // taken off: no card, and nothing of the card read before
    EXPECT_EQ(reader.readIdCard(record, photo), kFailed);
    EXPECT_EQ(reader.readIdFingerprint(0, message, status), kFailed);
    EXPECT_EQ(reader.saveIdCardImages(0, scratch.file("f.bmp"), scratch.file("b.bmp")), kFailed);
    pty.module().putCard(cardOf(u"乙", 0));
    ASSERT_EQ(reader.readIdCard(record, photo), kOk);
    EXPECT_EQ(nameIn(record), u"乙");
    EXPECT_EQ(reader.readIdFingerprint(0, message, status), kFailed);  // this card has none

    pty.unplug();  // the reader is forgotten; the simulated card answers again
    ASSERT_EQ(reader.readIdCard(record, ""), kOk);
    EXPECT_EQ(nameIn(record), u"张三");
}

TEST(SamIdCardReader, WithoutAWorkingDecoderTheFieldsAnswerAndNoPhotoIsLeft) {
    const PhotoDecoderSettings decoders[] = {
        {},                                            // none configured
        {PICTAVO_TEST_PHOTO_DECODER, 1, false},        // a wrong key: refused
        {PICTAVO_TEST_PHOTO_DECODER_CRASH, 602, false},
        {"/nonexistent/libdecoder.so", 602, false},
    };
    PtySamModule pty;
    pty.module().putCard(cardOf(u"甲"));
    pictavo_test::TempDir scratch;
    for (const PhotoDecoderSettings& decoder : decoders) {
        SamIdCardReader reader = readerOn(pty.path(), nullptr, decoder);
        const std::string photo = scratch.write("head.bmp", "an earlier card's photo");
        IdCardRecord record{};
        EXPECT_EQ(reader.readIdCard(record, photo), kOk) << decoder.library;
        EXPECT_EQ(nameIn(record), u"甲") << decoder.library;
        EXPECT_FALSE(std::ifstream(photo).good()) << decoder.library;
    }
}

TEST(SamIdCardReader, ReadsThroughUsbAndForgetsAnUnpluggedModule) {
    EmulatedUsbModule usb;
    usb.module.putCard(cardOf(u"丙"));
    usb.module.setNoiseBeforeReplies(true);
    SamIdCardReader reader = readerOn("", std::make_unique<FakeUsbBus>(usb));
    IdCardRecord record{};
    ASSERT_EQ(reader.readIdCard(record, ""), kOk);
    EXPECT_EQ(nameIn(record), u"丙");
    usb.unplugged = true;
    ASSERT_EQ(reader.readIdCard(record, ""), kOk);
    EXPECT_EQ(nameIn(record), u"张三");
}

TEST(SamUsb, TheModulesBulkEndpointsAreFoundInItsDescriptors) {
    using Interfaces = std::vector<UsbInterfaceDescription>;
    const UsbEndpointDescription interruptIn{0x83, 0x03, 8};
    const struct {
        const char* name;
        Interfaces interfaces;
        bool found;
        UsbBulkPair pair;
    } cases[] = {
        {"one interface", {{0, 0, {{0x81, 0x02, 64}, {0x02, 0x02, 64}}}}, true, {0, 0, 0x81, 0x02, 64}},
        {"after an interface with an interrupt endpoint",
         {{0, 0, {interruptIn}}, {1, 0, {interruptIn, {0x04, 0x02, 512}, {0x85, 0x02, 512}}}},
         true, {1, 0, 0x85, 0x04, 512}},
        {"no OUT endpoint", {{0, 0, {{0x81, 0x02, 64}, interruptIn}}}, false, {}},
        {"no interface", {}, false, {}},
    };
    for (const auto& test : cases) {
        UsbBulkPair pair;
        ASSERT_EQ(findBulkPair(test.interfaces, pair), test.found) << test.name;
        if (!test.found) continue;
        EXPECT_EQ(pair.interfaceNumber, test.pair.interfaceNumber) << test.name;
        EXPECT_EQ(pair.in, test.pair.in) << test.name;
        EXPECT_EQ(pair.out, test.pair.out) << test.name;
        EXPECT_EQ(pair.inPacketSize, test.pair.inPacketSize) << test.name;
    }
}

}  // namespace
