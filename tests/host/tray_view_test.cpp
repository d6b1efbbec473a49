// What the icon says for each state of the service, in both languages, and which language the
// environment asks for.
#include "host/tray_view.h"

#include <gtest/gtest.h>

namespace lenvaro {
namespace {

TEST(TrayLanguage, TheFirstVariableSetDecides) {
    const struct {
        std::map<std::string, std::string> environment;
        TrayLanguage expected;
    } cases[] = {
        {{}, TrayLanguage::English},
        {{{"LANG", "zh_CN.UTF-8"}, {"LC_MESSAGES", "en_US.UTF-8"}}, TrayLanguage::English},
        {{{"LANG", "en_US.UTF-8"}, {"LC_ALL", "zh_CN.GBK"}}, TrayLanguage::Chinese},
        {{{"LC_ALL", "C"}, {"LANGUAGE", "zh_TW:en_US"}}, TrayLanguage::Chinese},
        {{{"LANGUAGE", ""}, {"LANG", "de_DE.UTF-8"}}, TrayLanguage::English},
    };
    for (const auto& each : cases) {
        EXPECT_EQ(trayLanguage(each.environment), each.expected) << ::testing::PrintToString(each.environment);
    }
}

TEST(TrayView, ChineseStatesAndTheTestPage) {
    ServiceStatus::Snapshot state;
    state.address = "0.0.0.0";
    state.port = 9000;
    state.endpoint = ServiceStatus::Endpoint::Listening;
    state.pages = 1;
    state.openCamera = 0;
    EXPECT_EQ(trayView(state, TrayLanguage::Chinese).stateLine, "正在监听端口 9000，已连接 1 个页面，摄像头 0 已打开");
    EXPECT_EQ(trayView(state, TrayLanguage::English).stateLine, "Listening on port 9000, 1 page connected, camera 0 open");
    // Listening everywhere, the page is opened through loopback.
    EXPECT_EQ(testPageUrl(state), "http://127.0.0.1:9000/demo/");

    state.endpoint = ServiceStatus::Endpoint::CannotListen;
    state.libraryStatus = -1;
    const TrayView failed = trayView(state, TrayLanguage::Chinese);
    EXPECT_EQ(failed.tooltip, "无法在 0.0.0.0:9000 上监听\n采集库未能启动（状态 -1）");
    EXPECT_EQ(failed.iconName, "dialog-error");
    EXPECT_TRUE(failed.needsAttention);
    EXPECT_FALSE(failed.serving);
    EXPECT_EQ(trayLabels(TrayLanguage::Chinese).resetCardReader, "重新初始化读卡器");
}

}  // namespace
}  // namespace lenvaro
