// What the tests against real kernel drivers share: whether they run at all, the vivid virtual
// camera (its node, its controls, its platform device), uinput keyboards, and the colour bars
// vivid draws.
//
// These tests run inside the VM that `scripts/check devices` boots (scripts/vm), which loads
// vivid and uinput and sets LENVARO_DEVICE_TESTS; there a missing driver fails the test.
// Anywhere else they skip: they create input devices and drive cameras that belong to the
// computer's user.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/uinput.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "../pictavo/cards/us_keystrokes.h"
#include "common/jpeg_codec.h"

namespace lenvaro_devices {

inline bool deviceTestsWanted() {
    const char* wanted = std::getenv("LENVARO_DEVICE_TESTS");
    return wanted != nullptr && *wanted != '\0' && std::strcmp(wanted, "0") != 0;
}

#define REQUIRE_DEVICE_TESTS()                                                                  \
    do {                                                                                        \
        if (!lenvaro_devices::deviceTestsWanted())                                              \
            GTEST_SKIP() << "drives kernel drivers (vivid, uinput) as root: runs in the VM of " \
                            "`scripts/check devices`, or wherever LENVARO_DEVICE_TESTS=1 is set"; \
    } while (false)

inline std::string firstLine(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

// A V4L2 control's name as v4l2-ctl shows it: "Inject Fatal Streaming Error" is
// inject_fatal_streaming_error.
inline std::string controlKey(const char* name) {
    std::string key;
    for (const char* c = name; *c != '\0'; ++c) {
        if (std::isalnum(static_cast<unsigned char>(*c))) {
            key.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(*c))));
        } else if (!key.empty() && key.back() != '_') {
            key.push_back('_');
        }
    }
    while (!key.empty() && key.back() == '_') key.pop_back();
    return key;
}

// The one vivid instance the VM loads (n_devs=1 node_types=0x1): /dev/videoN, platform device
// vivid.0.
class Vivid {
  public:
    static constexpr const char* kDriverDir = "/sys/bus/platform/drivers/vivid";
    static constexpr const char* kDevice = "vivid.0";

    // The capture node, or nothing while the driver is unbound (or not loaded).
    static std::optional<std::string> node() {
        namespace fs = std::filesystem;
        std::error_code error;
        for (fs::directory_iterator it("/sys/class/video4linux", error), end; !error && it != end;
             it.increment(error)) {
            if (firstLine(it->path() / "name").rfind("vivid-", 0) == 0)
                return "/dev/" + it->path().filename().string();
        }
        return std::nullopt;
    }

    // Sets a control by its v4l2-ctl name; 0 or the errno. Buttons are pressed by any value.
    static int set(const char* name, int32_t value) {
        const auto path = node();
        if (!path) return ENODEV;
        const int fd = ::open(path->c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) return errno;
        int result = ENOENT;
        v4l2_query_ext_ctrl query{};
        query.id = V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND;
        while (::ioctl(fd, VIDIOC_QUERY_EXT_CTRL, &query) == 0) {
            if (controlKey(query.name) == name) {
                v4l2_control control{query.id, value};
                result = ::ioctl(fd, VIDIOC_S_CTRL, &control) == 0 ? 0 : errno;
                break;
            }
            query.id |= V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND;
        }
        ::close(fd);  // vivid comes back from a disconnect only once every handle is closed
        return result;
    }

    // A control's value as the driver holds it; nothing when it cannot be read.
    static std::optional<int32_t> get(uint32_t id) {
        const auto path = node();
        if (!path) return std::nullopt;
        const int fd = ::open(path->c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) return std::nullopt;
        v4l2_control control{id, 0};
        const bool read = ::ioctl(fd, VIDIOC_G_CTRL, &control) == 0;
        ::close(fd);
        if (!read) return std::nullopt;
        return control.value;
    }

    // The picture every test expects: vivid's 75% colour bars, without its text overlay, at the
    // driver's default brightness.
    static void drawColourBars() {
        EXPECT_EQ(set("test_pattern", 0), 0);
        EXPECT_EQ(set("osd_text_mode", 2), 0);
        EXPECT_EQ(set("brightness", 128), 0);
    }

    static bool unbind() { return write(std::string(kDriverDir) + "/unbind"); }
    static bool bind() { return write(std::string(kDriverDir) + "/bind"); }
    static bool bound() { return std::filesystem::exists(std::string(kDriverDir) + "/" + kDevice); }

  private:
    static bool write(const std::string& file) {
        std::ofstream out(file);
        out << kDevice;
        out.flush();
        return out.good();
    }
};

// vivid's 75% colour bars from left to right, as R, G, B: white, yellow, cyan, green, magenta,
// red, blue, black.
inline constexpr uint8_t kColourBars[8][3] = {
    {191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
    {191, 0, 191},   {191, 0, 0},   {0, 0, 191},   {0, 0, 0},
};

// The mean R, G, B of the middle of each bar, read with `pixel(x, y, channel)` (channel 0 red)
// over the lower half of the picture; the greatest difference from kColourBars in any channel.
template <typename Pixel>
int colourBarsError(int width, int height, Pixel pixel, std::string* report = nullptr) {
    int worst = 0;
    for (int bar = 0; bar < 8; ++bar) {
        const int left = bar * width / 8 + width / 32;
        const int right = (bar + 1) * width / 8 - width / 32;
        long sums[3] = {0, 0, 0};
        long count = 0;
        for (int y = height / 2; y < height * 7 / 8; ++y) {
            for (int x = left; x < right; ++x) {
                for (int c = 0; c < 3; ++c) sums[c] += pixel(x, y, c);
                ++count;
            }
        }
        for (int c = 0; c < 3; ++c) {
            const int mean = static_cast<int>(sums[c] / std::max(1L, count));
            worst = std::max(worst, std::abs(mean - kColourBars[bar][c]));
            if (report != nullptr) *report += std::to_string(mean) + (c < 2 ? "," : " ");
        }
    }
    return worst;
}

// The same for a decoded JPEG (R, G, B rows, top first).
inline int jpegBarsError(const lenvaro::jpeg::Image& image, std::string* report = nullptr) {
    return colourBarsError(
        image.width, image.height,
        [&](int x, int y, int c) {
            return image.pixels[(static_cast<size_t>(y) * image.width + x) * 3 + c];
        },
        report);
}

// A USB keyboard made through uinput, typing as a stripe reader does.
class UinputKeyboard {
  public:
    explicit UinputKeyboard(const std::string& name, uint16_t product = 0x0001) {
        fd_ = ::open("/dev/uinput", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) return;
        ::ioctl(fd_, UI_SET_EVBIT, EV_KEY);
        ::ioctl(fd_, UI_SET_EVBIT, EV_SYN);
        for (int key = KEY_ESC; key <= KEY_KPDOT; ++key) ::ioctl(fd_, UI_SET_KEYBIT, key);
        ::ioctl(fd_, UI_SET_KEYBIT, KEY_KPENTER);
        uinput_setup setup{};
        setup.id = {BUS_USB, 0x0801, product, 1};
        std::strncpy(setup.name, name.c_str(), UINPUT_MAX_NAME_SIZE - 1);
        if (::ioctl(fd_, UI_DEV_SETUP, &setup) != 0 || ::ioctl(fd_, UI_DEV_CREATE) != 0) {
            ::close(fd_);
            fd_ = -1;
            return;
        }
        char sysName[64] = {};
        if (::ioctl(fd_, UI_GET_SYSNAME(sizeof sysName), sysName) >= 0) {
            namespace fs = std::filesystem;
            // The event node appears beside the input device shortly after it is made.
            for (int i = 0; i < 200 && eventNode_.empty(); ++i) {
                std::error_code error;
                for (fs::directory_iterator it(fs::path("/sys/devices/virtual/input") / sysName, error), end;
                     !error && it != end; it.increment(error)) {
                    const std::string entry = it->path().filename().string();
                    if (entry.rfind("event", 0) == 0 && fs::exists("/dev/input/" + entry))
                        eventNode_ = "/dev/input/" + entry;
                }
                if (eventNode_.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
    }
    ~UinputKeyboard() { unplug(); }
    UinputKeyboard(const UinputKeyboard&) = delete;
    UinputKeyboard& operator=(const UinputKeyboard&) = delete;

    bool ok() const { return fd_ >= 0 && !eventNode_.empty(); }
    const std::string& eventNode() const { return eventNode_; }

    // One character at a time, each as one write, `pause` apart: a reader that types slowly
    // enough for the computer to keep up.
    void type(const std::string& text, std::chrono::microseconds pause = std::chrono::microseconds(500)) {
        for (const char c : text) {
            write(pictavo_test::usKeyEvents(std::string(1, c)));
            std::this_thread::sleep_for(pause);
        }
    }
    // The whole text in one write: far more events than the kernel keeps for a reader that has
    // not read yet.
    void typeAtOnce(const std::string& text) { write(pictavo_test::usKeyEvents(text)); }

    void unplug() {
        if (fd_ < 0) return;
        ::ioctl(fd_, UI_DEV_DESTROY);
        ::close(fd_);
        fd_ = -1;
    }

  private:
    void write(const std::vector<std::pair<uint16_t, int32_t>>& keys) {
        std::vector<input_event> events;
        for (const auto& [code, value] : keys) {
            input_event key{};
            key.type = EV_KEY;
            key.code = code;
            key.value = value;
            events.push_back(key);
            input_event report{};
            report.type = EV_SYN;
            report.code = SYN_REPORT;
            events.push_back(report);
        }
        const size_t bytes = events.size() * sizeof(input_event);
        ASSERT_EQ(::write(fd_, events.data(), bytes), static_cast<ssize_t>(bytes));
    }

    int fd_ = -1;
    std::string eventNode_;
};

// Polls `condition` every 20 ms for up to `timeout`.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace lenvaro_devices
