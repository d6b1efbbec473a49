// The StatusNotifierItem and its dbusmenu, over sd-bus.
#include "host/status_notifier.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <future>
#include <iostream>
#include <thread>
#include <vector>

#include "host/tray_view.h"

extern char** environ;

namespace lenvaro {
namespace {

constexpr const char* kItemPath = "/StatusNotifierItem";
constexpr const char* kItemInterface = "org.kde.StatusNotifierItem";
constexpr const char* kMenuPath = "/MenuBar";
constexpr const char* kMenuInterface = "com.canonical.dbusmenu";
constexpr const char* kWatcherName = "org.kde.StatusNotifierWatcher";
constexpr const char* kWatcherPath = "/StatusNotifierWatcher";
// A bus that does not answer holds nothing up for long: the tray starts without a watcher.
constexpr uint64_t kCallTimeoutUsec = 2 * 1000 * 1000;
// How often children the menu started (xdg-open) are looked for, while any runs.
constexpr int kChildReapIntervalMs = 1000;

// The menu's items, in order; the root holds them all.
enum MenuItem : int32_t {
    kRoot = 0,
    kStateLine = 1,
    kFirstSeparator = 2,
    kOpenTestPage = 3,
    kResetCardReader = 4,
    kSecondSeparator = 5,
    kQuit = 6,
};
constexpr int32_t kMenuItems[] = {kStateLine, kFirstSeparator, kOpenTestPage, kResetCardReader, kSecondSeparator, kQuit};

struct BusUnref {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using BusPtr = std::unique_ptr<sd_bus, BusUnref>;

struct SlotUnref {
    void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using SlotPtr = std::unique_ptr<sd_bus_slot, SlotUnref>;

struct MessageUnref {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

// The icon drawn for hosts without the named icon in their theme: a disc in the state's colour
// with a white lens ring, ARGB32 in network byte order as the item's pixmaps carry it.
struct Pixmap {
    int size;
    std::vector<uint8_t> argb;
};

std::vector<Pixmap> drawIcon(const std::string& iconName) {
    uint8_t red = 0x54, green = 0x6e, blue = 0x7a;  // idle: slate
    if (iconName == "camera-web") red = 0x2e, green = 0x7d, blue = 0x32;         // pages: green
    if (iconName == "camera-video") red = 0x15, green = 0x65, blue = 0xc0;       // camera: blue
    if (iconName == "dialog-error") red = 0xc6, green = 0x28, blue = 0x28;       // error: red
    std::vector<Pixmap> pixmaps;
    for (int size : {22, 48}) {
        Pixmap pixmap{size, std::vector<uint8_t>(static_cast<size_t>(size) * size * 4)};
        const double centre = size / 2.0;
        const double outer = centre - 0.5;
        const double ring = size * 0.24;
        const double ringHalfWidth = size * 0.06;
        for (int y = 0; y < size; ++y) {
            for (int x = 0; x < size; ++x) {
                const double distance = std::hypot(x + 0.5 - centre, y + 0.5 - centre);
                const double coverage = std::clamp(outer - distance + 0.5, 0.0, 1.0);
                const double white = std::clamp(ringHalfWidth - std::fabs(distance - ring) + 0.5, 0.0, 1.0);
                uint8_t* pixel = &pixmap.argb[(static_cast<size_t>(y) * size + x) * 4];
                pixel[0] = static_cast<uint8_t>(std::lround(coverage * 255));
                pixel[1] = static_cast<uint8_t>(std::lround(red + (255 - red) * white));
                pixel[2] = static_cast<uint8_t>(std::lround(green + (255 - green) * white));
                pixel[3] = static_cast<uint8_t>(std::lround(blue + (255 - blue) * white));
            }
        }
        pixmaps.push_back(std::move(pixmap));
    }
    return pixmaps;
}

int appendPixmaps(sd_bus_message* message, const std::vector<Pixmap>& pixmaps) {
    int result = sd_bus_message_open_container(message, 'a', "(iiay)");
    for (const Pixmap& pixmap : pixmaps) {
        if (result < 0) return result;
        result = sd_bus_message_open_container(message, 'r', "iiay");
        if (result >= 0) result = sd_bus_message_append(message, "ii", pixmap.size, pixmap.size);
        if (result >= 0) result = sd_bus_message_append_array(message, 'y', pixmap.argb.data(), pixmap.argb.size());
        if (result >= 0) result = sd_bus_message_close_container(message);
    }
    return result < 0 ? result : sd_bus_message_close_container(message);
}

// Starts the desktop's opener for a URL (the default browser), with default signal handling
// and a clean signal mask: the service blocks its own signals in every thread.
pid_t openInBrowser(const std::string& url) {
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signalNumber : {SIGINT, SIGTERM, SIGUSR1, SIGPIPE}) sigaddset(&defaults, signalNumber);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::string program = "xdg-open";
    std::string argument = url;
    char* argv[] = {program.data(), argument.data(), nullptr};
    pid_t child = 0;
    const int error = posix_spawnp(&child, program.c_str(), nullptr, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        std::cerr << "lenvaro-server: cannot start xdg-open to open " << url << ": " << std::strerror(error)
                  << std::endl;
        return 0;
    }
    return child;
}

}  // namespace

class StatusNotifierTray::Impl {
public:
    Impl(const ServiceStatus& status, int wakeFd, Actions actions)
        : status_(status), wakeFd_(wakeFd), actions_(std::move(actions)), language_(trayLanguageOfThisProcess()),
          labels_(trayLabels(language_)), busName_(itemBusName()) {
        stopFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    }

    ~Impl() {
        if (thread_.joinable()) {
            eventfd_write(stopFd_, 1);
            thread_.join();
        }
        if (stopFd_ >= 0) close(stopFd_);
    }

    // Starts the thread; returns once it has connected, or failed to, with the reason.
    bool start(std::string& problem) {
        std::promise<std::string> connected;
        std::future<std::string> outcome = connected.get_future();
        thread_ = std::thread([this, &connected] {
            std::string reason = connect();
            const bool ok = reason.empty();
            connected.set_value(std::move(reason));
            if (ok) serve();
            bus_.reset();
        });
        problem = outcome.get();
        if (!problem.empty()) thread_.join();
        return problem.empty();
    }

    bool watcherWasPresent() const { return watcherWasPresent_; }

private:
    std::string connect() {
        if (stopFd_ < 0) return "no eventfd";
        sd_bus* bus = nullptr;
        int result = sd_bus_open_user(&bus);
        if (result < 0) return std::string("no session bus (") + std::strerror(-result) + ")";
        bus_.reset(bus);
        sd_bus_set_method_call_timeout(bus, kCallTimeoutUsec);
        state_ = status_.snapshot();
        view_ = trayView(state_, language_);
        sd_bus_slot* slot = nullptr;
        result = sd_bus_add_object_vtable(bus, &slot, kItemPath, kItemInterface, kItemVtable, this);
        if (result >= 0) {
            itemSlot_.reset(slot);
            result = sd_bus_add_object_vtable(bus, &slot, kMenuPath, kMenuInterface, kMenuVtable, this);
        }
        if (result >= 0) {
            menuSlot_.reset(slot);
            // A watcher that starts (or starts again) gets the item registered.
            result = sd_bus_match_signal(bus, &slot, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                         "org.freedesktop.DBus", "NameOwnerChanged", onNameOwnerChanged, this);
        }
        if (result >= 0) {
            watcherSlot_.reset(slot);
            result = sd_bus_request_name(bus, busName_.c_str(), 0);
        }
        if (result < 0) return std::string("cannot export the tray icon (") + std::strerror(-result) + ")";
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                               "NameHasOwner", &error, &reply, "s", kWatcherName) >= 0) {
            int present = 0;
            if (sd_bus_message_read(reply, "b", &present) >= 0) watcherWasPresent_ = present != 0;
        }
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
        if (watcherWasPresent_) registerWithWatcher();
        return {};
    }

    void serve() {
        sd_bus* bus = bus_.get();
        for (;;) {
            int processed = 0;
            while ((processed = sd_bus_process(bus, nullptr)) > 0) {
            }
            if (processed < 0) {
                std::cerr << "lenvaro-server: the session bus closed; the tray icon is gone" << std::endl;
                return;
            }
            reapChildren();
            uint64_t deadline = 0;
            int timeoutMs = -1;
            if (sd_bus_get_timeout(bus, &deadline) >= 0 && deadline != UINT64_MAX) {
                timespec now{};
                clock_gettime(CLOCK_MONOTONIC, &now);
                const uint64_t nowUsec = static_cast<uint64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
                timeoutMs = deadline <= nowUsec ? 0 : static_cast<int>(std::min<uint64_t>((deadline - nowUsec + 999) / 1000, INT32_MAX));
            }
            if (!children_.empty() && (timeoutMs < 0 || timeoutMs > kChildReapIntervalMs)) timeoutMs = kChildReapIntervalMs;
            pollfd fds[] = {{sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0},
                            {wakeFd_, POLLIN, 0},
                            {stopFd_, POLLIN, 0}};
            if (poll(fds, 3, timeoutMs) < 0 && errno != EINTR) return;
            if (fds[2].revents & POLLIN) return;
            if (fds[1].revents & POLLIN) {
                eventfd_t ignored = 0;
                eventfd_read(wakeFd_, &ignored);
                refresh();
            }
        }
    }

    void reapChildren() {
        children_.erase(std::remove_if(children_.begin(), children_.end(),
                                       [](pid_t child) { return waitpid(child, nullptr, WNOHANG) != 0; }),
                        children_.end());
    }

    void registerWithWatcher() {
        const int result = sd_bus_call_method_async(bus_.get(), nullptr, kWatcherName, kWatcherPath, kWatcherName,
                                                    "RegisterStatusNotifierItem", onRegistered, this, "s",
                                                    busName_.c_str());
        if (result < 0) std::cerr << "lenvaro-server: cannot register the tray icon: " << std::strerror(-result) << std::endl;
    }

    // Signals what changed since the last look at the status.
    void refresh() {
        state_ = status_.snapshot();
        const TrayView view = trayView(state_, language_);
        sd_bus* bus = bus_.get();
        std::vector<const char*> changed;
        if (view.iconName != view_.iconName) {
            sd_bus_emit_signal(bus, kItemPath, kItemInterface, "NewIcon", "");
            sd_bus_emit_signal(bus, kItemPath, kItemInterface, "NewAttentionIcon", "");
            changed.insert(changed.end(), {"IconName", "IconPixmap", "AttentionIconName", "AttentionIconPixmap"});
        }
        if (view.tooltip != view_.tooltip || view.iconName != view_.iconName) {
            sd_bus_emit_signal(bus, kItemPath, kItemInterface, "NewToolTip", "");
            changed.push_back("ToolTip");
        }
        if (view.needsAttention != view_.needsAttention) {
            sd_bus_emit_signal(bus, kItemPath, kItemInterface, "NewStatus", "s", statusText(view));
            changed.push_back("Status");
        }
        const bool menuChanged = view.stateLine != view_.stateLine || view.serving != view_.serving;
        view_ = view;
        if (!changed.empty()) {
            changed.push_back(nullptr);
            sd_bus_emit_properties_changed_strv(bus, kItemPath, kItemInterface, const_cast<char**>(changed.data()));
        }
        if (menuChanged) {
            ++menuRevision_;
            emitMenuItemsUpdated();
            sd_bus_emit_signal(bus, kMenuPath, kMenuInterface, "LayoutUpdated", "ui", menuRevision_, kRoot);
        }
    }

    static const char* statusText(const TrayView& view) { return view.needsAttention ? "NeedsAttention" : "Active"; }

    // ---- The item -----------------------------------------------------------------------

    static int itemProperty(sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply,
                            void* userdata, sd_bus_error*) {
        auto* self = static_cast<Impl*>(userdata);
        const TrayView& view = self->view_;
        const std::string name = property;
        if (name == "Category") return sd_bus_message_append(reply, "s", "ApplicationStatus");
        if (name == "Id") return sd_bus_message_append(reply, "s", "lenvaro-server");
        if (name == "Title") return sd_bus_message_append(reply, "s", self->labels_.title.c_str());
        if (name == "Status") return sd_bus_message_append(reply, "s", statusText(view));
        if (name == "WindowId") return sd_bus_message_append(reply, "i", 0);
        if (name == "IconThemePath" || name == "OverlayIconName" || name == "AttentionMovieName") {
            return sd_bus_message_append(reply, "s", "");
        }
        if (name == "IconName" || name == "AttentionIconName") return sd_bus_message_append(reply, "s", view.iconName.c_str());
        if (name == "IconPixmap" || name == "AttentionIconPixmap") return appendPixmaps(reply, drawIcon(view.iconName));
        if (name == "OverlayIconPixmap") return appendPixmaps(reply, {});
        if (name == "ItemIsMenu") return sd_bus_message_append(reply, "b", 1);
        if (name == "Menu") return sd_bus_message_append(reply, "o", kMenuPath);
        if (name == "ToolTip") {
            int result = sd_bus_message_open_container(reply, 'r', "sa(iiay)ss");
            if (result >= 0) result = sd_bus_message_append(reply, "s", view.iconName.c_str());
            if (result >= 0) result = appendPixmaps(reply, {});
            if (result >= 0) result = sd_bus_message_append(reply, "ss", self->labels_.title.c_str(), view.tooltip.c_str());
            return result < 0 ? result : sd_bus_message_close_container(reply);
        }
        return -ENOENT;
    }

    // Clicks on the icon itself: the host shows the menu (ItemIsMenu), so there is nothing to do.
    static int ignoreClick(sd_bus_message* call, void*, sd_bus_error*) {
        return sd_bus_reply_method_return(call, "");
    }

    static int onRegistered(sd_bus_message* reply, void*, sd_bus_error*) {
        if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
            std::cerr << "lenvaro-server: the desktop's tray refused the icon: " << (error->message ? error->message : error->name)
                      << std::endl;
        }
        return 0;
    }

    static int onNameOwnerChanged(sd_bus_message* signal, void* userdata, sd_bus_error*) {
        const char* name = nullptr;
        const char* oldOwner = nullptr;
        const char* newOwner = nullptr;
        if (sd_bus_message_read(signal, "sss", &name, &oldOwner, &newOwner) < 0) return 0;
        if (std::strcmp(name, kWatcherName) == 0 && newOwner[0] != '\0') static_cast<Impl*>(userdata)->registerWithWatcher();
        return 0;
    }

    // ---- The menu -----------------------------------------------------------------------

    static bool isMenuItem(int32_t id) { return id == kRoot || std::count(std::begin(kMenuItems), std::end(kMenuItems), id) > 0; }

    // One property of a menu item: a text or a flag.
    struct MenuProperty {
        const char* name;
        std::string text;
        bool isFlag = false;
        bool flag = false;
    };

    std::vector<MenuProperty> itemProperties(int32_t id) const {
        auto flag = [](const char* name, bool value) { return MenuProperty{name, {}, true, value}; };
        switch (id) {
        case kRoot:
            return {{"children-display", "submenu"}};
        case kStateLine:
            return {{"label", view_.stateLine}, flag("enabled", false)};
        case kFirstSeparator:
        case kSecondSeparator:
            return {{"type", "separator"}};
        case kOpenTestPage:
            return {{"label", labels_.openTestPage}, flag("enabled", view_.serving)};
        case kResetCardReader:
            return {{"label", labels_.resetCardReader}, flag("enabled", true)};
        case kQuit:
            return {{"label", labels_.quit}, flag("enabled", true)};
        default:
            return {};
        }
    }

    static int appendValue(sd_bus_message* message, const MenuProperty& property) {
        if (property.isFlag) return sd_bus_message_append(message, "v", "b", property.flag ? 1 : 0);
        return sd_bus_message_append(message, "v", "s", property.text.c_str());
    }

    // Appends one item's properties as a{sv}, only those named in `wanted` (all when empty).
    int appendItemProperties(sd_bus_message* message, int32_t id, const std::vector<std::string>& wanted) const {
        int result = sd_bus_message_open_container(message, 'a', "{sv}");
        for (const MenuProperty& property : itemProperties(id)) {
            if (!wanted.empty() && std::find(wanted.begin(), wanted.end(), property.name) == wanted.end()) continue;
            if (result >= 0) result = sd_bus_message_open_container(message, 'e', "sv");
            if (result >= 0) result = sd_bus_message_append(message, "s", property.name);
            if (result >= 0) result = appendValue(message, property);
            if (result >= 0) result = sd_bus_message_close_container(message);
        }
        return result < 0 ? result : sd_bus_message_close_container(message);
    }

    // Appends (ia{sv}av): the item and, when depth allows, its children.
    int appendLayout(sd_bus_message* message, int32_t id, int depth, const std::vector<std::string>& wanted) const {
        int result = sd_bus_message_open_container(message, 'r', "ia{sv}av");
        if (result >= 0) result = sd_bus_message_append(message, "i", id);
        if (result >= 0) result = appendItemProperties(message, id, wanted);
        if (result >= 0) result = sd_bus_message_open_container(message, 'a', "v");
        if (id == kRoot && depth != 0) {
            for (int32_t child : kMenuItems) {
                if (result >= 0) result = sd_bus_message_open_container(message, 'v', "(ia{sv}av)");
                if (result >= 0) result = appendLayout(message, child, depth - 1, wanted);
                if (result >= 0) result = sd_bus_message_close_container(message);
            }
        }
        if (result >= 0) result = sd_bus_message_close_container(message);
        return result < 0 ? result : sd_bus_message_close_container(message);
    }

    static int readStrings(sd_bus_message* message, std::vector<std::string>& strings) {
        char** array = nullptr;
        const int result = sd_bus_message_read_strv(message, &array);
        if (result < 0) return result;
        for (char** each = array; each != nullptr && *each != nullptr; ++each) {
            strings.emplace_back(*each);
            free(*each);
        }
        free(array);
        return 0;
    }

    static int readIds(sd_bus_message* message, std::vector<int32_t>& ids) {
        const void* data = nullptr;
        size_t size = 0;
        const int result = sd_bus_message_read_array(message, 'i', &data, &size);
        if (result < 0) return result;
        const auto* values = static_cast<const int32_t*>(data);
        ids.assign(values, values + size / sizeof(int32_t));
        return 0;
    }

    static int getLayout(sd_bus_message* call, void* userdata, sd_bus_error* error) {
        auto* self = static_cast<Impl*>(userdata);
        int32_t parent = 0;
        int32_t depth = -1;
        std::vector<std::string> wanted;
        int result = sd_bus_message_read(call, "ii", &parent, &depth);
        if (result >= 0) result = readStrings(call, wanted);
        if (result < 0) return result;
        if (!isMenuItem(parent)) return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS, "no menu item %d", parent);
        sd_bus_message* reply = nullptr;
        result = sd_bus_message_new_method_return(call, &reply);
        if (result < 0) return result;
        MessagePtr owned(reply);
        result = sd_bus_message_append(reply, "u", self->menuRevision_);
        if (result >= 0) result = self->appendLayout(reply, parent, depth, wanted);
        return result < 0 ? result : sd_bus_send(nullptr, reply, nullptr);
    }

    static int getGroupProperties(sd_bus_message* call, void* userdata, sd_bus_error*) {
        auto* self = static_cast<Impl*>(userdata);
        std::vector<int32_t> ids;
        std::vector<std::string> wanted;
        int result = readIds(call, ids);
        if (result >= 0) result = readStrings(call, wanted);
        if (result < 0) return result;
        if (ids.empty()) {
            ids.push_back(kRoot);
            ids.insert(ids.end(), std::begin(kMenuItems), std::end(kMenuItems));
        }
        sd_bus_message* reply = nullptr;
        result = sd_bus_message_new_method_return(call, &reply);
        if (result < 0) return result;
        MessagePtr owned(reply);
        result = sd_bus_message_open_container(reply, 'a', "(ia{sv})");
        for (int32_t id : ids) {
            if (result < 0 || !isMenuItem(id)) continue;
            result = sd_bus_message_open_container(reply, 'r', "ia{sv}");
            if (result >= 0) result = sd_bus_message_append(reply, "i", id);
            if (result >= 0) result = self->appendItemProperties(reply, id, wanted);
            if (result >= 0) result = sd_bus_message_close_container(reply);
        }
        if (result >= 0) result = sd_bus_message_close_container(reply);
        return result < 0 ? result : sd_bus_send(nullptr, reply, nullptr);
    }

    static int getProperty(sd_bus_message* call, void* userdata, sd_bus_error* error) {
        auto* self = static_cast<Impl*>(userdata);
        int32_t id = 0;
        const char* name = nullptr;
        int result = sd_bus_message_read(call, "is", &id, &name);
        if (result < 0) return result;
        const auto properties = self->itemProperties(id);
        const auto found = std::find_if(properties.begin(), properties.end(),
                                        [name](const MenuProperty& property) { return std::strcmp(property.name, name) == 0; });
        if (found == properties.end()) {
            return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS, "menu item %d has no property %s", id, name);
        }
        sd_bus_message* reply = nullptr;
        result = sd_bus_message_new_method_return(call, &reply);
        if (result < 0) return result;
        MessagePtr owned(reply);
        result = appendValue(reply, *found);
        return result < 0 ? result : sd_bus_send(nullptr, reply, nullptr);
    }

    // What a click on an item does. Unknown or disabled items do nothing.
    void activate(int32_t id, const char* eventId) {
        if (std::strcmp(eventId, "clicked") != 0) return;
        if (id == kOpenTestPage && view_.serving) {
            if (const pid_t child = openInBrowser(testPageUrl(state_))) children_.push_back(child);
        } else if (id == kResetCardReader) {
            if (actions_.resetCardReader) actions_.resetCardReader();
        } else if (id == kQuit) {
            if (actions_.quit) actions_.quit();
        }
    }

    static int event(sd_bus_message* call, void* userdata, sd_bus_error* error) {
        int32_t id = 0;
        const char* eventId = nullptr;
        const int result = sd_bus_message_read(call, "is", &id, &eventId);
        if (result < 0) return result;
        if (!isMenuItem(id)) return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS, "no menu item %d", id);
        static_cast<Impl*>(userdata)->activate(id, eventId);
        return sd_bus_reply_method_return(call, "");
    }

    static int eventGroup(sd_bus_message* call, void* userdata, sd_bus_error*) {
        auto* self = static_cast<Impl*>(userdata);
        std::vector<int32_t> unknown;
        int result = sd_bus_message_enter_container(call, 'a', "(isvu)");
        while (result >= 0 && (result = sd_bus_message_enter_container(call, 'r', "isvu")) > 0) {
            int32_t id = 0;
            const char* eventId = nullptr;
            result = sd_bus_message_read(call, "is", &id, &eventId);
            std::string copied = eventId != nullptr ? eventId : "";
            if (result >= 0) result = sd_bus_message_skip(call, "vu");
            if (result >= 0) result = sd_bus_message_exit_container(call);
            if (result < 0) break;
            if (isMenuItem(id)) {
                self->activate(id, copied.c_str());
            } else {
                unknown.push_back(id);
            }
        }
        if (result >= 0) result = sd_bus_message_exit_container(call);
        if (result < 0) return result;
        sd_bus_message* reply = nullptr;
        result = sd_bus_message_new_method_return(call, &reply);
        if (result < 0) return result;
        MessagePtr owned(reply);
        result = sd_bus_message_append_array(reply, 'i', unknown.data(), unknown.size() * sizeof(int32_t));
        return result < 0 ? result : sd_bus_send(nullptr, reply, nullptr);
    }

    // The menu is always up to date when shown: nothing to prepare.
    static int aboutToShow(sd_bus_message* call, void*, sd_bus_error*) {
        return sd_bus_reply_method_return(call, "b", 0);
    }

    static int aboutToShowGroup(sd_bus_message* call, void*, sd_bus_error*) {
        return sd_bus_reply_method_return(call, "aiai", 0, 0);
    }

    static int menuProperty(sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply, void*,
                            sd_bus_error*) {
        const std::string name = property;
        if (name == "Version") return sd_bus_message_append(reply, "u", 3);
        if (name == "TextDirection") return sd_bus_message_append(reply, "s", "ltr");
        if (name == "Status") return sd_bus_message_append(reply, "s", "normal");
        if (name == "IconThemePath") return sd_bus_message_append(reply, "as", 0);
        return -ENOENT;
    }

    void emitMenuItemsUpdated() {
        sd_bus_message* signal = nullptr;
        if (sd_bus_message_new_signal(bus_.get(), &signal, kMenuPath, kMenuInterface, "ItemsPropertiesUpdated") < 0) return;
        MessagePtr owned(signal);
        int result = sd_bus_message_open_container(signal, 'a', "(ia{sv})");
        for (int32_t id : {kStateLine, kOpenTestPage}) {
            if (result >= 0) result = sd_bus_message_open_container(signal, 'r', "ia{sv}");
            if (result >= 0) result = sd_bus_message_append(signal, "i", id);
            if (result >= 0) result = appendItemProperties(signal, id, {"label", "enabled"});
            if (result >= 0) result = sd_bus_message_close_container(signal);
        }
        if (result >= 0) result = sd_bus_message_close_container(signal);
        if (result >= 0) result = sd_bus_message_append(signal, "a(ias)", 0);
        if (result >= 0) sd_bus_send(nullptr, signal, nullptr);
    }

    static const sd_bus_vtable kItemVtable[];
    static const sd_bus_vtable kMenuVtable[];

    const ServiceStatus& status_;
    const int wakeFd_;
    int stopFd_ = -1;
    const Actions actions_;
    const TrayLanguage language_;
    const TrayLabels labels_;
    const std::string busName_;
    // The rest belongs to the tray's thread.
    BusPtr bus_;
    SlotPtr itemSlot_;
    SlotPtr menuSlot_;
    SlotPtr watcherSlot_;
    ServiceStatus::Snapshot state_;
    TrayView view_{};
    uint32_t menuRevision_ = 1;
    std::vector<pid_t> children_;
    std::thread thread_;
    // Written by the thread before start() returns, read after.
    bool watcherWasPresent_ = false;
};

const sd_bus_vtable StatusNotifierTray::Impl::kItemVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Category", "s", itemProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Id", "s", itemProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Title", "s", itemProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Status", "s", itemProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("WindowId", "i", itemProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("IconThemePath", "s", itemProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("IconName", "s", itemProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("IconPixmap", "a(iiay)", itemProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("OverlayIconName", "s", itemProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("OverlayIconPixmap", "a(iiay)", itemProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("AttentionIconName", "s", itemProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("AttentionIconPixmap", "a(iiay)", itemProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("AttentionMovieName", "s", itemProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("ToolTip", "(sa(iiay)ss)", itemProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("ItemIsMenu", "b", itemProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Menu", "o", itemProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_METHOD("ContextMenu", "ii", "", ignoreClick, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Activate", "ii", "", ignoreClick, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("SecondaryActivate", "ii", "", ignoreClick, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Scroll", "is", "", ignoreClick, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_SIGNAL("NewTitle", "", 0),
    SD_BUS_SIGNAL("NewIcon", "", 0),
    SD_BUS_SIGNAL("NewAttentionIcon", "", 0),
    SD_BUS_SIGNAL("NewOverlayIcon", "", 0),
    SD_BUS_SIGNAL("NewToolTip", "", 0),
    SD_BUS_SIGNAL("NewStatus", "s", 0),
    SD_BUS_VTABLE_END,
};

const sd_bus_vtable StatusNotifierTray::Impl::kMenuVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Version", "u", menuProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("TextDirection", "s", menuProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Status", "s", menuProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("IconThemePath", "as", menuProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_METHOD("GetLayout", "iias", "u(ia{sv}av)", getLayout, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetGroupProperties", "aias", "a(ia{sv})", getGroupProperties, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetProperty", "is", "v", getProperty, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Event", "isvu", "", event, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("EventGroup", "a(isvu)", "ai", eventGroup, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("AboutToShow", "i", "b", aboutToShow, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("AboutToShowGroup", "ai", "aiai", aboutToShowGroup, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_SIGNAL("ItemsPropertiesUpdated", "a(ia{sv})a(ias)", 0),
    SD_BUS_SIGNAL("LayoutUpdated", "ui", 0),
    SD_BUS_SIGNAL("ItemActivationRequested", "iu", 0),
    SD_BUS_VTABLE_END,
};

StatusNotifierTray::StatusNotifierTray(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

StatusNotifierTray::~StatusNotifierTray() = default;

std::unique_ptr<StatusNotifierTray> StatusNotifierTray::start(const ServiceStatus& status, int wakeFd, Actions actions,
                                                              std::string& problem) {
    auto impl = std::make_unique<Impl>(status, wakeFd, std::move(actions));
    if (!impl->start(problem)) return nullptr;
    return std::unique_ptr<StatusNotifierTray>(new StatusNotifierTray(std::move(impl)));
}

bool StatusNotifierTray::watcherWasPresent() const { return impl_->watcherWasPresent(); }

std::string StatusNotifierTray::itemBusName() {
    return "org.kde.StatusNotifierItem-" + std::to_string(getpid()) + "-1";
}

bool showDesktopNotification(const std::string& summary, const std::string& body) {
    sd_bus* opened = nullptr;
    if (sd_bus_open_user(&opened) < 0) return false;
    BusPtr bus(opened);
    sd_bus_set_method_call_timeout(opened, kCallTimeoutUsec);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const int result = sd_bus_call_method(opened, "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                                          "org.freedesktop.Notifications", "Notify", &error, &reply, "susssasa{sv}i",
                                          "Lenvaro Server", 0u, "camera-photo", summary.c_str(), body.c_str(), 0, 0, -1);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return result >= 0;
}

}  // namespace lenvaro
