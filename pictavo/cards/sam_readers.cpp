// Finding the security modules, and noticing when they come and go.
#include "pictavo/cards/sam_readers.h"

#include <glob.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <set>
#include <utility>

#include "pictavo/cards/sam_serial_link.h"
#include "pictavo/problem_log.h"

namespace pictavo {
namespace {

bool isUsbName(const std::string& name) { return name.rfind("usb:", 0) == 0; }

// Which device node a path leads to now: a port unplugged and plugged in again (or another
// device under the same name) is another node.
std::string identityOf(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) return "";
    return std::to_string(info.st_rdev) + ":" + std::to_string(info.st_ino) + ":" +
           std::to_string(info.st_ctim.tv_sec) + "." + std::to_string(info.st_ctim.tv_nsec);
}

// The character devices the patterns name now, each by its real path once.
std::map<std::string, std::string> serialPortsNow(const std::vector<std::string>& patterns) {
    std::map<std::string, std::string> ports;  // real path -> identity
    for (const std::string& pattern : patterns) {
        glob_t found{};
        if (::glob(pattern.c_str(), GLOB_NOSORT, nullptr, &found) == 0) {
            for (size_t i = 0; i < found.gl_pathc; ++i) {
                char real[PATH_MAX];
                if (::realpath(found.gl_pathv[i], real) == nullptr) continue;
                const std::string identity = identityOf(real);
                if (!identity.empty()) ports.emplace(real, identity);
            }
        }
        ::globfree(&found);
    }
    return ports;
}

}  // namespace

SamReaders::SamReaders(std::vector<std::string> serialPorts, std::unique_ptr<UsbSamBus> usb,
                       SerialOpener openSerial, SamTimeouts timeouts)
    : serialPorts_(std::move(serialPorts)),
      usb_(std::move(usb)),
      openSerial_(std::move(openSerial)),
      timeouts_(timeouts) {}

std::vector<SamModule*> SamReaders::look(SteadyTime deadline) {
    lookAtSerialPorts(deadline);
    lookAtUsb();
    std::vector<SamModule*> modules;
    for (const Attached& attached : attached_) {
        if (!isUsbName(attached.name)) modules.push_back(attached.module.get());
    }
    for (const Attached& attached : attached_) {
        if (isUsbName(attached.name)) modules.push_back(attached.module.get());
    }
    return modules;
}

void SamReaders::forget(const SamModule* module) {
    attached_.erase(std::remove_if(attached_.begin(), attached_.end(),
                                   [&](const Attached& a) { return a.module.get() == module; }),
                    attached_.end());
}

void SamReaders::lookAtSerialPorts(SteadyTime deadline) {
    if (serialPorts_.empty()) return;
    const std::map<std::string, std::string> ports = serialPortsNow(serialPorts_);
    // A port that is gone, or is another device now, is let go.
    attached_.erase(std::remove_if(attached_.begin(), attached_.end(),
                                   [&](const Attached& a) {
                                       if (isUsbName(a.name)) return false;
                                       const auto port = ports.find(a.name);
                                       return port == ports.end() || port->second != a.identity ||
                                              a.module->gone();
                                   }),
                    attached_.end());
    const SteadyTime now = std::chrono::steady_clock::now();
    for (const auto& [path, identity] : ports) {
        const bool held = std::any_of(attached_.begin(), attached_.end(),
                                      [&](const Attached& a) { return a.name == path; });
        if (held) continue;
        const auto silent = silentPorts_.find(path);
        if (silent != silentPorts_.end() && silent->second.identity == identity &&
            now - silent->second.askedAt < kSilentPortRetry) {
            continue;
        }
        std::string error;
        std::unique_ptr<SamLink> link = openSerial_(path, error);
        if (!link) {
            reportProblemOnce("pictavo: ID card reader port " + error +
                              (error.find("ermission") != std::string::npos
                                   ? " (the user needs the group dialout)"
                                   : ""));
            silentPorts_[path] = {identity, now};
            continue;
        }
        auto module = std::make_unique<SamModule>(std::move(link), timeouts_);
        if (!module->answersStatus(deadline)) {
            reportProblemOnce("pictavo: no ID card reader answers on " + path);
            silentPorts_[path] = {identity, now};
            continue;
        }
        silentPorts_.erase(path);
        attached_.push_back({path, identity, std::move(module)});
    }
}

void SamReaders::lookAtUsb() {
    if (!usb_) return;
    const std::vector<std::string> present = usb_->present();
    const std::set<std::string> names(present.begin(), present.end());
    attached_.erase(std::remove_if(attached_.begin(), attached_.end(),
                                   [&](const Attached& a) {
                                       return isUsbName(a.name) &&
                                              (names.count(a.name) == 0 || a.module->gone());
                                   }),
                    attached_.end());
    for (const std::string& name : present) {
        const bool held = std::any_of(attached_.begin(), attached_.end(),
                                      [&](const Attached& a) { return a.name == name; });
        if (held) continue;
        std::string error;
        std::unique_ptr<SamLink> link = usb_->open(name, error);
        if (!link) {
            reportProblemOnce("pictavo: ID card reader " + error);
            continue;
        }
        attached_.push_back({name, name, std::make_unique<SamModule>(std::move(link), timeouts_)});
    }
}

std::unique_ptr<SamReaders> makeSamReaders(const IdReaderSettings& settings) {
    // PICTAVO_USB=off keeps the computer's USB readers out (tests that must not meet them).
    const char* usb = std::getenv("PICTAVO_USB");
    const bool usbOff = usb != nullptr && std::string(usb) == "off";
    return std::make_unique<SamReaders>(settings.serialPorts,
                                        settings.usb && !usbOff ? makeLibusbSamBus() : nullptr,
                                        openSerialSamLink);
}

}  // namespace pictavo
