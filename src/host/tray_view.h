// What the desktop's icon shows for a state of the service: icon, tooltip, the menu's state line
// and its labels, in English or Chinese by the desktop's locale. Texts are UTF-8, as the desktop
// takes them.
#pragma once

#include <map>
#include <string>

#include "service/service_status.h"

namespace lenvaro {

enum class TrayLanguage { English, Chinese };

// The language of messages by the environment, as gettext picks it: the first of LANGUAGE,
// LC_ALL, LC_MESSAGES and LANG that is set; Chinese for any zh locale, else English.
TrayLanguage trayLanguage(const std::map<std::string, std::string>& environment);
TrayLanguage trayLanguageOfThisProcess();

struct TrayView {
    std::string iconName;  // a name of the freedesktop icon naming scheme
    bool needsAttention;   // an error the user should look at
    std::string stateLine;  // the menu's first line: where it listens, pages, camera
    std::string tooltip;    // the state line, and a problem of the capture library below it
    bool serving;           // listening: the test page can be opened
};

TrayView trayView(const ServiceStatus::Snapshot& state, TrayLanguage language);

struct TrayLabels {
    std::string title;  // the icon's and the tooltip's title
    std::string openTestPage;
    std::string resetCardReader;
    std::string quit;
};

TrayLabels trayLabels(TrayLanguage language);

// The demo page the service serves, as a browser on this computer reaches it.
std::string testPageUrl(const ServiceStatus::Snapshot& state);

}  // namespace lenvaro
