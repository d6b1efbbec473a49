// A session bus of the test's own (dbus-daemon on a socket in a scratch folder), and the test's
// connection to it standing in for the desktop: the panel's StatusNotifierWatcher, the
// notification service, and the panel reading the tray item and clicking its menu.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/paths.h"

namespace lenvaro::testing {

class PrivateSessionBus {
public:
    PrivateSessionBus() : address_("unix:path=" + folder_.file("bus")) {
        daemon_ = fork();
        if (daemon_ == 0) {
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            dup2(open("/dev/null", O_WRONLY), STDERR_FILENO);  // its notes on resource limits
            const std::string address = "--address=" + address_;
            execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile", address.c_str(), nullptr);
            _exit(127);
        }
        struct stat info {};
        for (int tries = 0; stat(folder_.file("bus").c_str(), &info) != 0 && tries < 1000; ++tries) {
            if (waitpid(daemon_, nullptr, WNOHANG) == daemon_) daemon_ = -1;
            if (daemon_ < 0) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~PrivateSessionBus() {
        if (daemon_ <= 0) return;
        kill(daemon_, SIGTERM);
        waitpid(daemon_, nullptr, 0);
    }
    bool running() const { return daemon_ > 0; }
    const std::string& address() const { return address_; }

private:
    ScratchDirectory folder_;
    std::string address_;
    pid_t daemon_ = -1;
};

// A menu item as GetLayout gives it: "id:label" ("id:-" for a separator), "(off)" when disabled.
using MenuEntries = std::vector<std::string>;

class DesktopSide {
public:
    explicit DesktopSide(const std::string& address) {
        sd_bus_new(&bus_);
        sd_bus_set_address(bus_, address.c_str());
        sd_bus_set_bus_client(bus_, 1);
        if (sd_bus_start(bus_) < 0) bus_ = sd_bus_unref(bus_);
    }
    ~DesktopSide() {
        for (sd_bus_slot* slot : slots_) sd_bus_slot_unref(slot);
        if (bus_ != nullptr) sd_bus_flush_close_unref(bus_);
    }

    bool actAsWatcher() {
        static const sd_bus_vtable vtable[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD("RegisterStatusNotifierItem", "s", "", onRegisterItem, 0), SD_BUS_VTABLE_END};
        return exportAndOwn("/StatusNotifierWatcher", "org.kde.StatusNotifierWatcher", vtable);
    }
    bool actAsNotificationService() {
        static const sd_bus_vtable vtable[] = {
            SD_BUS_VTABLE_START(0), SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", onNotify, 0), SD_BUS_VTABLE_END};
        return exportAndOwn("/org/freedesktop/Notifications", "org.freedesktop.Notifications", vtable);
    }
    // Records the name of every signal of an item or its menu ("NewIcon", "LayoutUpdated").
    bool recordItemSignals() {
        for (const char* interface : {"org.kde.StatusNotifierItem", "com.canonical.dbusmenu"}) {
            slots_.push_back(nullptr);
            if (sd_bus_match_signal(bus_, &slots_.back(), nullptr, nullptr, interface, nullptr, onSignal, this) < 0) return false;
        }
        return true;
    }
    bool sawSignal(const std::string& name) const {
        return std::find(itemSignals.begin(), itemSignals.end(), name) != itemSignals.end();
    }

    // Serves incoming calls until `done` holds or the time is up; returns whether it holds.
    bool serveUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            while (sd_bus_process(bus_, nullptr) > 0) {
            }
            if (done()) return true;
            if (std::chrono::steady_clock::now() >= deadline) return false;
            sd_bus_wait(bus_, 20 * 1000);
        }
    }
    // Serves until `read` gives `wanted`; returns what it last gave.
    std::string waitUntilReads(const std::function<std::string()>& read, const std::string& wanted,
                               std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::string value;
        serveUntil([&] { return (value = read()) == wanted; }, timeout);
        return value;
    }

    std::string itemString(const std::string& item, const char* property) {
        char* value = nullptr;
        const bool got = sd_bus_get_property_string(bus_, item.c_str(), "/StatusNotifierItem",
                                                    "org.kde.StatusNotifierItem", property, nullptr, &value) >= 0;
        std::string text = got ? value : "";
        free(value);
        return text;
    }
    // The tooltip's title and description, joined by "|".
    std::string toolTip(const std::string& item) {
        sd_bus_message* reply = nullptr;
        const char* title = "";
        const char* description = "";
        if (sd_bus_get_property(bus_, item.c_str(), "/StatusNotifierItem", "org.kde.StatusNotifierItem", "ToolTip",
                                nullptr, &reply, "(sa(iiay)ss)") >= 0) {
            sd_bus_message_enter_container(reply, 'r', "sa(iiay)ss");
            sd_bus_message_skip(reply, "sa(iiay)");
            sd_bus_message_read(reply, "ss", &title, &description);
        }
        const std::string text = std::string(title) + "|" + description;
        sd_bus_message_unref(reply);
        return text;
    }
    MenuEntries menu(const std::string& item) {
        MenuEntries entries;
        sd_bus_message* reply = nullptr;
        if (sd_bus_call_method(bus_, item.c_str(), "/MenuBar", "com.canonical.dbusmenu", "GetLayout", nullptr, &reply,
                               "iias", 0, -1, 0) < 0) {
            return entries;
        }
        sd_bus_message_skip(reply, "u");
        sd_bus_message_enter_container(reply, 'r', "ia{sv}av");
        sd_bus_message_skip(reply, "ia{sv}");
        sd_bus_message_enter_container(reply, 'a', "v");
        while (sd_bus_message_enter_container(reply, 'v', "(ia{sv}av)") > 0) {
            int32_t id = 0;
            std::string label, type, enabled;
            sd_bus_message_enter_container(reply, 'r', "ia{sv}av");
            sd_bus_message_read(reply, "i", &id);
            sd_bus_message_enter_container(reply, 'a', "{sv}");
            while (sd_bus_message_enter_container(reply, 'e', "sv") > 0) {
                const char* name = nullptr;
                const char* text = nullptr;
                int flag = 1;
                sd_bus_message_read(reply, "s", &name);
                if (std::string(name) == "enabled" && sd_bus_message_read(reply, "v", "b", &flag) >= 0) {
                    if (!flag) enabled = " (off)";
                } else if (sd_bus_message_read(reply, "v", "s", &text) >= 0) {
                    (std::string(name) == "label" ? label : type) = text;
                }
                sd_bus_message_exit_container(reply);
            }
            sd_bus_message_exit_container(reply);  // the properties
            sd_bus_message_skip(reply, "av");       // no submenus
            sd_bus_message_exit_container(reply);
            sd_bus_message_exit_container(reply);
            entries.push_back(std::to_string(id) + ":" + (type == "separator" ? "-" : label) + enabled);
        }
        sd_bus_message_unref(reply);
        return entries;
    }
    // Clicks the menu item as a panel does; false when the item refused the call.
    bool click(const std::string& item, int32_t id) {
        return sd_bus_call_method(bus_, item.c_str(), "/MenuBar", "com.canonical.dbusmenu", "Event", nullptr, nullptr,
                                  "isvu", id, "clicked", "s", "", 0u) >= 0;
    }

    std::vector<std::string> registeredItems;
    std::vector<std::string> notifications;  // "summary|body"
    std::vector<std::string> itemSignals;

private:
    bool exportAndOwn(const char* path, const char* name, const sd_bus_vtable* vtable) {
        slots_.push_back(nullptr);
        return bus_ != nullptr && sd_bus_add_object_vtable(bus_, &slots_.back(), path, name, vtable, this) >= 0 &&
               sd_bus_request_name(bus_, name, 0) >= 0;
    }
    static int onRegisterItem(sd_bus_message* call, void* self, sd_bus_error*) {
        const char* service = "";
        sd_bus_message_read(call, "s", &service);
        static_cast<DesktopSide*>(self)->registeredItems.emplace_back(service);
        return sd_bus_reply_method_return(call, "");
    }
    static int onNotify(sd_bus_message* call, void* self, sd_bus_error*) {
        const char* summary = "";
        const char* body = "";
        sd_bus_message_skip(call, "sus");
        sd_bus_message_read(call, "ss", &summary, &body);
        static_cast<DesktopSide*>(self)->notifications.push_back(std::string(summary) + "|" + body);
        return sd_bus_reply_method_return(call, "u", 1u);
    }
    static int onSignal(sd_bus_message* signal, void* self, sd_bus_error*) {
        static_cast<DesktopSide*>(self)->itemSignals.emplace_back(sd_bus_message_get_member(signal));
        return 0;
    }

    sd_bus* bus_ = nullptr;
    std::vector<sd_bus_slot*> slots_;
};

}  // namespace lenvaro::testing
