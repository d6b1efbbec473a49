// The registry and the Library object: a family without a device gets its "no device"
// implementation, an attached device is the one that answers, and callbacks are kept only for
// devices that exist.
#include "pictavo/registry.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "pictavo/library.h"
#include "pictavo/status.h"

namespace {

using namespace pictavo;

class FakeSignPad final : public SignPad {
  public:
    int init() override { return kOk; }
    int configure(const SignSettings&) override { return kOk; }
    int saveTo(const std::string&) override { return kOk; }
    int startWriting() override { return kOk; }
    int stopWriting() override { return kOk; }
};

class FakeBankReader final : public CardReader {
  public:
    int init() override { return kOk; }
    int uninit() override { return kOk; }
    int readIdCard(IdCardRecord&, const std::string&) override { return kFailed; }
    int saveIdCardImages(int, const std::string&, const std::string&) override { return kFailed; }
    int readIdFingerprint(int, IdFingerprintMessage&, int&) override { return kFailed; }
    int readSocialCard(SocialCardRecord&) override { return kFailed; }
    int readBankCard(BankCardText& text) override {
        text.fill(0);
        text[0] = '4';  // "4" in UTF-16LE
        return kOk;
    }
    int readMagCard(MagCardRecord&) override { return kFailed; }
};

class FakeFaceEngine final : public FaceEngine {
  public:
    int init() override { return kOk; }
    int uninit() override { return kOk; }
    int matchFiles(const std::string&, const std::string&, int& score) override {
        score = 87;
        return kOk;
    }
    int matchImages(const std::string&, const std::string&, int&) override { return kFailed; }
    int setLivenessCheck(bool) override { return kOk; }
};

class SilentCamera final : public Camera {
  public:
    CameraInfo info() const override {
        CameraInfo info;
        info.name = "Silent";
        return info;
    }
    std::vector<MediaType> mediaTypes() const override { return {}; }
    int open(int, Resolution) override { return kOk; }
    int close() override { return kOk; }
};

std::vector<bool> savedCalls;
bool recordSaved(bool saved) {
    savedCalls.push_back(saved);
    return true;
}

TEST(Registry, FamiliesWithoutADeviceAnswerNoDevice) {
    Registry registry{Devices{}};
    BankCardText text{};
    std::string out;
    uint8_t image[4] = {};
    EXPECT_EQ(registry.cameras().count(), 0);
    EXPECT_EQ(registry.cardReader().readBankCard(text), kNoDevice);
    EXPECT_EQ(registry.icCardReader().run(IcOperation::kReadBasic, IcRequest{}, out), kNoDevice);
    EXPECT_EQ(registry.fingerprintSensor().captureImage(image, image), kNoDevice);
    EXPECT_EQ(registry.signPad().startWriting(), kNoDevice);
}

TEST(Registry, AnAttachedDeviceIsTheOneThatAnswers) {
    Devices devices;
    devices.cardReader = std::make_unique<FakeBankReader>();
    devices.cameras.push_back(std::make_unique<SilentCamera>());
    Registry registry{std::move(devices)};

    BankCardText text{};
    ASSERT_EQ(registry.cardReader().readBankCard(text), kOk);
    EXPECT_EQ(text[0], '4');
    EXPECT_EQ(registry.cameras().name(0), "Silent");
    std::string out;
    EXPECT_EQ(registry.icCardReader().run(IcOperation::kReadBasic, IcRequest{}, out), kNoDevice)
        << "other families keep their no-device answer";
}

TEST(Registry, TheSignSavedCallbackIsKeptOnlyWithAPad) {
    savedCalls.clear();
    Registry without{Devices{}};
    EXPECT_EQ(without.setSignSavedCallback(recordSaved), kNoDevice);
    EXPECT_FALSE(without.deliverSignSaved(true));

    Devices devices;
    devices.signPad = std::make_unique<FakeSignPad>();
    Registry with{std::move(devices)};
    EXPECT_FALSE(with.deliverSignSaved(true)) << "nothing registered yet";
    ASSERT_EQ(with.setSignSavedCallback(recordSaved), kOk);
    EXPECT_TRUE(with.deliverSignSaved(false));
    EXPECT_TRUE(with.deliverSignSaved(true));
    EXPECT_EQ(savedCalls, std::vector<bool>({false, true}));

    ASSERT_EQ(with.setSignSavedCallback(nullptr), kOk);
    EXPECT_FALSE(with.deliverSignSaved(true)) << "a null callback unregisters";
}

TEST(Library, MissingEnginesAreNotBuiltInAndGivenOnesAnswer) {
    Library plain{Config{}, Devices{}, Engines{}};
    int score = -1;
    EXPECT_EQ(plain.face().matchFiles("/a", "/b", score), kNotSupported);
    EXPECT_EQ(score, -1);
    EXPECT_TRUE(plain.ocr().languages().empty());
    EXPECT_TRUE(plain.templates().templates().empty());

    Engines engines;
    engines.face = std::make_unique<FakeFaceEngine>();
    Library withFace{Config{}, Devices{}, std::move(engines)};
    ASSERT_EQ(withFace.face().matchFiles("/a", "/b", score), kOk);
    EXPECT_EQ(score, 87);
}

TEST(Library, FaceMatchingOnACameraNeedsTheCameraFirst) {
    Library none{Config{}, Devices{}, Engines{}};
    EXPECT_EQ(none.matchFaceOnCamera(0), kNoDevice);

    Devices devices;
    devices.cameras.push_back(std::make_unique<SilentCamera>());
    Library one{Config{}, std::move(devices), Engines{}};
    EXPECT_EQ(one.matchFaceOnCamera(0), kNotSupported);
    EXPECT_EQ(one.matchFaceOnCamera(1), kNoDevice);
}

}  // namespace
