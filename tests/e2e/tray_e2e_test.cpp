// The real executable's tray icon on a session bus of the test's own, the test standing in for
// the panel: the icon follows pages and cameras, its menu resets the card reader and quits as
// SIGTERM does; a port another program holds is shown and taken once free; a second start is
// told on the desktop; the icon can be switched off.
#include <gtest/gtest.h>

#include <atomic>

#include "host_e2e_support.h"
#include "loopback_socket.h"
#include "session_bus.h"
#include "ws_test_client.h"

namespace lenvaro::testing {
namespace {

using namespace std::chrono_literals;

const std::map<std::string, std::string> kEnglish{{"LANG", "C.UTF-8"}, {"LANGUAGE", ""}, {"LC_ALL", ""}, {"LC_MESSAGES", ""}};

ServerProcess::Options onTheDesktop(const PrivateSessionBus& bus) {
    ServerProcess::Options options;
    options.library = LENVARO_FAKE_LIBRARY;
    options.environment = kEnglish;
    options.environment["DBUS_SESSION_BUS_ADDRESS"] = bus.address();
    return options;
}

std::string itemOf(ServerProcess& server) {
    return "org.kde.StatusNotifierItem-" + std::to_string(runningInstance(guardOf(server))) + "-1";
}

TEST(TrayEndToEnd, TheIconFollowsTheServiceAndItsMenuResetsTheReaderAndQuits) {
    PrivateSessionBus bus;
    DesktopSide panel(bus.address());
    ASSERT_TRUE(panel.actAsWatcher() && panel.recordItemSignals());
    ServerProcess server(onTheDesktop(bus));
    const uint16_t port = server.start();
    ASSERT_NE(port, 0) << server.standardError();
    const std::string item = itemOf(server);
    ASSERT_TRUE(panel.serveUntil([&] { return !panel.registeredItems.empty(); }));
    EXPECT_EQ(panel.registeredItems, std::vector<std::string>{item});

    const std::string listening = "Lenvaro Server|Listening on port " + std::to_string(port) + ", ";
    const auto toolTip = [&] { return panel.toolTip(item); };
    EXPECT_EQ(panel.waitUntilReads(toolTip, listening + "no page connected"), listening + "no page connected");
    WsTestClient page;
    ASSERT_TRUE(page.connect(port));
    EXPECT_EQ(panel.waitUntilReads(toolTip, listening + "1 page connected"), listening + "1 page connected");
    EXPECT_EQ(panel.itemString(item, "IconName"), "camera-web");
    // Panels read the item again when it signals a change.
    // (Signals come on their own: the new tooltip may have been read before they were taken in.)
    EXPECT_TRUE(panel.serveUntil([&] {
        return panel.sawSignal("NewIcon") && panel.sawSignal("NewToolTip") && panel.sawSignal("LayoutUpdated");
    }));
    ASSERT_EQ(page.roundTrip(R"({"FuncName":"camOpenDev","argument":{"devIndex":1,"subtype":0,"width":640,"height":480}})"),
              R"({"FuncName":"camOpenDev","result":"0"})");
    const std::string cameraOpen = listening + "1 page connected, camera 1 open";
    EXPECT_EQ(panel.waitUntilReads(toolTip, cameraOpen), cameraOpen);
    EXPECT_EQ(panel.itemString(item, "IconName"), "camera-video");
    EXPECT_EQ(panel.menu(item).at(0), "1:Listening on port " + std::to_string(port) + ", 1 page connected, camera 1 open (off)");

    const size_t before = readLines(server.fakeLog()).size();
    ASSERT_TRUE(panel.click(item, 4));  // Re-initialise the card reader
    const auto calls = waitForCalls(server.fakeLog(), before + 2);
    EXPECT_EQ(std::vector<std::string>(calls.begin() + before, calls.end()),
              (std::vector<std::string>{"idcardrfidUnInit()", "idcardrfidInit()"}));

    ASSERT_TRUE(panel.click(item, 6));  // Quit
    EXPECT_EQ(server.waitForExit(), 0);
    const auto atQuit = readLines(server.fakeLog());
    ASSERT_GE(atQuit.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(atQuit.end() - 3, atQuit.end()),
              (std::vector<std::string>{"camCloseDev(0)", "camCloseDev(1)", "camUnInitCameraLib()"}));
}

TEST(TrayEndToEnd, APortAnotherProgramHoldsIsShownAndTakenOnceFree) {
    PrivateSessionBus bus;
    DesktopSide panel(bus.address());
    ASSERT_TRUE(panel.actAsWatcher() && panel.recordItemSignals());
    uint16_t port = 0;
    const int holder = listenOnLoopback(port);
    ASSERT_GE(holder, 0);
    ServerProcess::Options options = onTheDesktop(bus);
    options.configXml = "<exeInfo><port>" + std::to_string(port) + "</port></exeInfo>";
    ServerProcess server(options);
    EXPECT_EQ(server.start(1s), 0) << "listening on a port another socket holds";
    ASSERT_TRUE(panel.serveUntil([&] { return !panel.registeredItems.empty(); }));
    const std::string item = panel.registeredItems.front();
    EXPECT_EQ(panel.waitUntilReads([&] { return panel.itemString(item, "Status"); }, "NeedsAttention"), "NeedsAttention");
    EXPECT_EQ(panel.itemString(item, "IconName"), "dialog-error");
    EXPECT_TRUE(panel.serveUntil([&] { return panel.sawSignal("NewStatus"); }));
    EXPECT_EQ(panel.toolTip(item), "Lenvaro Server|Port " + std::to_string(port) + " is in use by another program");

    close(holder);
    const std::string listening = "Lenvaro Server|Listening on port " + std::to_string(port) + ", no page connected";
    EXPECT_EQ(panel.waitUntilReads([&] { return panel.toolTip(item); }, listening), listening);
    WsTestClient page;
    EXPECT_TRUE(page.connect(port));
    EXPECT_EQ(server.stop(), 0);
}

TEST(TrayEndToEnd, ASecondStartIsToldOnTheDesktop) {
    PrivateSessionBus bus;
    DesktopSide desktop(bus.address());
    ASSERT_TRUE(desktop.actAsNotificationService());
    ServerProcess first(onTheDesktop(bus));
    ASSERT_NE(first.start(), 0);
    std::map<std::string, std::string> environment = kEnglish;
    environment.insert({{"XDG_RUNTIME_DIR", first.runtimeDir()}, {"TMPDIR", first.tmp()},
                        {"DBUS_SESSION_BUS_ADDRESS", bus.address()}});

    // The desktop answers from a thread of its own while the second start runs.
    std::atomic<bool> done{false};
    std::thread serving([&] { desktop.serveUntil([&] { return done.load(); }, 30s); });
    const CommandRun second = runCommand(first.executable(), {}, environment);
    done = true;
    serving.join();
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.errors, "");
    EXPECT_EQ(desktop.notifications, std::vector<std::string>{"Lenvaro Server is already running|One instance runs "
                                                              "per desktop session; its icon is in the panel's tray."});

    // Without a notification service it is said on standard error.
    environment["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + first.root().file("no-bus");
    const CommandRun third = runCommand(first.executable(), {}, environment);
    EXPECT_EQ(third.status, 0);
    EXPECT_NE(third.errors.find("another instance is already running"), std::string::npos) << third.errors;
}

TEST(TrayEndToEnd, SwitchedOffThereIsNoIcon) {
    const std::pair<std::vector<std::string>, std::string> ways[] = {
        {{"--no-tray"}, "<exeInfo><port>0</port></exeInfo>"},
        {{}, "<exeInfo><port>0</port><trayIcon> Off </trayIcon></exeInfo>"},
    };
    for (const auto& [arguments, configXml] : ways) {
        SCOPED_TRACE(configXml);
        PrivateSessionBus bus;
        DesktopSide panel(bus.address());
        ASSERT_TRUE(panel.actAsWatcher());
        ServerProcess::Options options = onTheDesktop(bus);
        options.arguments = arguments;
        options.configXml = configXml;
        ServerProcess server(options);
        ASSERT_NE(server.start(), 0) << server.standardError();
        EXPECT_FALSE(panel.serveUntil([&] { return !panel.registeredItems.empty(); }, 1500ms));
        EXPECT_EQ(panel.itemString(itemOf(server), "Id"), "") << "exported all the same";
        EXPECT_EQ(server.stop(), 0);
    }
}

}  // namespace
}  // namespace lenvaro::testing
