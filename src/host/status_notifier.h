// The service's icon on a Linux desktop: a StatusNotifierItem on the session bus, its menu over
// com.canonical.dbusmenu, registered with the desktop's StatusNotifierWatcher whenever one is on
// the bus (also one that appears later, as when the panel restarts). All its D-Bus work runs on
// a thread of its own: the threads that change the service's state only write the status and
// wake it.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "service/service_status.h"

namespace lenvaro {

class StatusNotifierTray {
public:
    struct Actions {
        // Menu items chosen, called on the tray's thread; each must return at once.
        std::function<void()> resetCardReader;
        std::function<void()> quit;
    };

    // Connects to the session bus, exports the item and its menu, and registers the item when a
    // watcher is there. `wakeFd` becomes readable (an eventfd) when `status` changed; the tray
    // reads it empty. Both must outlive the tray. Null, with the reason in `problem`, when
    // there is no session bus.
    static std::unique_ptr<StatusNotifierTray> start(const ServiceStatus& status, int wakeFd, Actions actions,
                                                     std::string& problem);
    // Withdraws the icon (the connection closes) and ends the thread.
    ~StatusNotifierTray();
    StatusNotifierTray(const StatusNotifierTray&) = delete;
    StatusNotifierTray& operator=(const StatusNotifierTray&) = delete;

    // Whether a watcher was on the bus at the start: a panel shows the icon.
    bool watcherWasPresent() const;

    // The bus name the item is exported under ("org.kde.StatusNotifierItem-<pid>-1").
    static std::string itemBusName();

    class Impl;

private:
    explicit StatusNotifierTray(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// Shows a desktop notification (org.freedesktop.Notifications); false when no session bus or
// notification service took it. Waits at most two seconds.
bool showDesktopNotification(const std::string& summary, const std::string& body);

}  // namespace lenvaro
