// The icon's texts and icon names for each state of the service.
#include "host/tray_view.h"

#include <cstdlib>

namespace lenvaro {
namespace {

std::string pagesText(size_t pages, TrayLanguage language) {
    const std::string count = std::to_string(pages);
    if (language == TrayLanguage::Chinese) {
        return pages == 0 ? "没有页面连接" : "已连接 " + count + " 个页面";
    }
    if (pages == 0) return "no page connected";
    return count + (pages == 1 ? " page connected" : " pages connected");
}

std::string endpointText(const ServiceStatus::Snapshot& state, TrayLanguage language) {
    const bool chinese = language == TrayLanguage::Chinese;
    const std::string port = std::to_string(state.port);
    switch (state.endpoint) {
    case ServiceStatus::Endpoint::Starting:
        return chinese ? "正在启动（端口 " + port + "）" : "Starting on port " + port;
    case ServiceStatus::Endpoint::Listening:
        return (chinese ? "正在监听端口 " + port + "，" : "Listening on port " + port + ", ") +
               pagesText(state.pages, language);
    case ServiceStatus::Endpoint::PortInUse:
        return chinese ? "端口 " + port + " 已被其他程序占用" : "Port " + port + " is in use by another program";
    case ServiceStatus::Endpoint::CannotListen:
        return chinese ? "无法在 " + state.address + ":" + port + " 上监听"
                       : "Cannot listen on " + state.address + ":" + port;
    }
    return {};
}

std::string languageVariable(const std::map<std::string, std::string>& environment) {
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        const auto found = environment.find(name);
        if (found != environment.end() && !found->second.empty()) return found->second;
    }
    return {};
}

}  // namespace

TrayLanguage trayLanguage(const std::map<std::string, std::string>& environment) {
    // LANGUAGE may list several languages ("zh_CN:en"); the first is the user's choice.
    const std::string locale = languageVariable(environment);
    return locale.rfind("zh", 0) == 0 ? TrayLanguage::Chinese : TrayLanguage::English;
}

TrayLanguage trayLanguageOfThisProcess() {
    std::map<std::string, std::string> environment;
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        if (const char* value = std::getenv(name)) environment[name] = value;
    }
    return trayLanguage(environment);
}

TrayView trayView(const ServiceStatus::Snapshot& state, TrayLanguage language) {
    TrayView view;
    view.serving = state.endpoint == ServiceStatus::Endpoint::Listening;
    view.stateLine = endpointText(state, language);
    if (view.serving && state.openCamera != ServiceStatus::kNoCamera) {
        const std::string camera = std::to_string(state.openCamera);
        view.stateLine += language == TrayLanguage::Chinese ? "，摄像头 " + camera + " 已打开"
                                                            : ", camera " + camera + " open";
    }
    view.tooltip = view.stateLine;
    const bool libraryFailed = state.libraryStatus != 0;
    if (libraryFailed) {
        const std::string status = std::to_string(state.libraryStatus);
        view.tooltip += language == TrayLanguage::Chinese ? "\n采集库未能启动（状态 " + status + "）"
                                                           : "\nThe capture library did not start (status " + status + ")";
    }
    const bool endpointFailed = state.endpoint == ServiceStatus::Endpoint::PortInUse ||
                                state.endpoint == ServiceStatus::Endpoint::CannotListen;
    view.needsAttention = endpointFailed || libraryFailed;
    if (view.needsAttention) {
        view.iconName = "dialog-error";
    } else if (view.serving && state.openCamera != ServiceStatus::kNoCamera) {
        view.iconName = "camera-video";
    } else if (view.serving && state.pages > 0) {
        view.iconName = "camera-web";
    } else {
        view.iconName = "camera-photo";
    }
    return view;
}

TrayLabels trayLabels(TrayLanguage language) {
    if (language == TrayLanguage::Chinese) return {"Lenvaro Server", "打开测试页面", "重新初始化读卡器", "退出"};
    return {"Lenvaro Server", "Open the test page", "Re-initialise the card reader", "Quit"};
}

std::string testPageUrl(const ServiceStatus::Snapshot& state) {
    // Listening on every address, the service is reached on this computer through loopback.
    const std::string host = state.address.empty() || state.address == "0.0.0.0" ? "127.0.0.1" : state.address;
    return "http://" + host + ":" + std::to_string(state.port) + "/demo/";
}

}  // namespace lenvaro
