// The tray icon on a session bus of the test's own, seen from a stand-in panel: the menu and
// its test page, a watcher that comes later or comes back, no bus at all. The icon following
// the real service, and the menu's other items, are tested end to end (tray_e2e_test.cpp).
#include "host/status_notifier.h"

#include <gtest/gtest.h>
#include <sys/eventfd.h>

#include <atomic>
#include <fstream>

#include "scoped_environment.h"
#include "session_bus.h"
#include "test_files.h"

namespace lenvaro::testing {
namespace {

class TrayOnPrivateBus : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bus_.running()) << "dbus-daemon did not start (scripts/setup installs it)";
        status.setChangeHook([this] { eventfd_write(wake_, 1); });
    }
    void TearDown() override { close(wake_); }
    std::unique_ptr<StatusNotifierTray> startTray() {
        std::string problem;
        auto tray = StatusNotifierTray::start(status, wake_, {[this] { ++resets; }, [this] { ++quits; }}, problem);
        EXPECT_NE(tray, nullptr) << problem;
        return tray;
    }

    PrivateSessionBus bus_;
    ScopedEnvironment address_{"DBUS_SESSION_BUS_ADDRESS", bus_.address()};
    ScopedEnvironment language_{"LANGUAGE", nullptr}, all_{"LC_ALL", nullptr}, messages_{"LC_MESSAGES", nullptr};
    ScopedEnvironment lang_{"LANG", "C.UTF-8"};
    int wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ServiceStatus status{"127.0.0.1", 9000};
    std::atomic<int> resets{0}, quits{0};
    const std::string item = StatusNotifierTray::itemBusName();
};

TEST_F(TrayOnPrivateBus, TheMenuShowsTheStateAndItsItemsAct) {
    // Stands in for the desktop's opener: writes the URL it was given.
    ScratchDirectory tools;
    const std::string opened = tools.file("opened.txt");
    std::ofstream(tools.file("xdg-open")) << "#!/bin/sh\nprintf '%s' \"$1\" > '" << opened << "'\n";
    chmod(tools.file("xdg-open").c_str(), 0700);
    ScopedEnvironment path("PATH", tools.path() + ":" + std::getenv("PATH"));

    DesktopSide panel(bus_.address());
    ASSERT_TRUE(panel.recordItemSignals());
    auto tray = startTray();
    ASSERT_TRUE(tray && !tray->watcherWasPresent());
    EXPECT_EQ(panel.menu(item), (MenuEntries{"1:Starting on port 9000 (off)", "2:-", "3:Open the test page (off)",
                                             "4:Re-initialise the card reader", "5:-", "6:Quit"}));
    EXPECT_TRUE(panel.click(item, 3));  // not serving: nothing to open
    status.setListening(9123);
    ASSERT_TRUE(panel.serveUntil([&] { return panel.sawSignal("LayoutUpdated"); }));
    EXPECT_EQ(readWholeFile(opened), "") << "opened while not serving";
    EXPECT_EQ(panel.menu(item), (MenuEntries{"1:Listening on port 9123, no page connected (off)", "2:-",
                                             "3:Open the test page", "4:Re-initialise the card reader", "5:-", "6:Quit"}));

    EXPECT_TRUE(panel.click(item, 1));  // the state line does nothing
    EXPECT_FALSE(panel.click(item, 42));
    EXPECT_EQ(resets.load() + quits.load(), 0);
    EXPECT_TRUE(panel.click(item, 3));
    std::string url;
    panel.serveUntil([&] { return !(url = readWholeFile(opened)).empty(); });
    EXPECT_EQ(url, "http://127.0.0.1:9123/demo/");
}

TEST_F(TrayOnPrivateBus, AWatcherThatComesLaterOrComesBackGetsTheItem) {
    auto tray = startTray();
    ASSERT_TRUE(tray && !tray->watcherWasPresent());
    for (const char* when : {"panel started after the service", "panel restarted"}) {
        SCOPED_TRACE(when);
        DesktopSide panel(bus_.address());
        ASSERT_TRUE(panel.actAsWatcher());
        EXPECT_TRUE(panel.serveUntil([&] { return !panel.registeredItems.empty(); }));
        EXPECT_EQ(panel.registeredItems, std::vector<std::string>{item});
    }
}

TEST(TrayWithoutBus, StartsNothingAndSaysWhy) {
    ScratchDirectory nowhere;
    ScopedEnvironment address("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + nowhere.file("no-bus"));
    ServiceStatus status;
    std::string problem;
    EXPECT_EQ(StatusNotifierTray::start(status, -1, {}, problem), nullptr);
    EXPECT_NE(problem.find("no session bus"), std::string::npos) << problem;
}

}  // namespace
}  // namespace lenvaro::testing
