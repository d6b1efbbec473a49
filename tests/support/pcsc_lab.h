// A smart card stack of the test's own: the process moves into new mount and network namespaces
// (so nothing it starts meets the computer's own pcscd, readers or ports), brings up loopback,
// puts a tmpfs on /run/pcscd and starts a pcscd whose only readers are two vpcd virtual readers,
// "Virtual PCD 00 00" on port 35963 and "Virtual PCD 00 01" on 35964 (virtual_card.h puts cards
// into them). USB reader drivers are hidden from that pcscd. Needs root, or user namespaces, and
// pcsc-lite to watch the readers.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <winscard.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace lenvaro::testing {

inline constexpr uint16_t kFirstReaderPort = 35963;   // "Virtual PCD 00 00"
inline constexpr uint16_t kSecondReaderPort = 35964;  // "Virtual PCD 00 01"

class PcscLab {
  public:
    PcscLab() = default;
    ~PcscLab() { stop(); }
    PcscLab(const PcscLab&) = delete;
    PcscLab& operator=(const PcscLab&) = delete;

    // Call before the process starts any thread (a process with threads cannot change its
    // mount namespace). "" when the stack runs; otherwise why it cannot, for a skip message.
    std::string start() {
        const std::string pcscd = findPcscd();
        if (pcscd.empty()) return "pcscd is not installed (scripts/setup installs it)";
        const std::string driver = findVpcdDriver();
        if (driver.empty()) {
            return "vpcd's reader driver is not installed (scripts/setup installs vsmartcard-vpcd)";
        }
        if (std::string refused = enterNamespaces(); !refused.empty()) return refused;

        char pattern[] = "/tmp/pcsc-lab-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return "cannot make a scratch directory";
        dir_ = pattern;
        // pcscd takes the reader configuration from a folder; both readers come from one entry.
        mkdir((dir_ + "/readers").c_str(), 0700);
        const std::string library = dir_ + "/libifdvpcd.so";
        if (!copyFile(driver, library)) return "cannot copy " + driver;
        std::ofstream(dir_ + "/readers/vpcd") << "FRIENDLYNAME \"Virtual PCD\"\n"
                                              << "DEVICENAME /dev/null:0x8C7B\n"
                                              << "LIBPATH " << library << "\n"
                                              << "CHANNELID 0x8C7B\n";

        // USB reader drivers stay out of sight: this pcscd must not reach for real readers.
        mount("tmpfs", "/usr/lib/pcsc/drivers", "tmpfs", 0, "mode=0755");
        if (mkdir("/run/pcscd", 0755) != 0 && errno != EEXIST) {
            // Not allowed to add it to the real /run (a user namespace): a /run of our own.
            if (mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0 ||
                mkdir("/run/pcscd", 0755) != 0) {
                return std::string("cannot make /run/pcscd: ") + std::strerror(errno);
            }
        }
        if (mount("tmpfs", "/run/pcscd", "tmpfs", 0, "mode=0755") != 0) {
            return std::string("cannot mount a tmpfs on /run/pcscd: ") + std::strerror(errno);
        }

        pcscd_ = fork();
        if (pcscd_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlives the test
            const int log = open((dir_ + "/pcscd.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(log, STDOUT_FILENO);
            dup2(log, STDERR_FILENO);
            const std::string readers = dir_ + "/readers";
            execl(pcscd.c_str(), pcscd.c_str(), "--foreground", "--config", readers.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        if (pcscd_ < 0) return "cannot start pcscd";
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (!listening(kFirstReaderPort) || !listening(kSecondReaderPort)) {
            if (std::chrono::steady_clock::now() > deadline || waitpid(pcscd_, nullptr, WNOHANG) != 0) {
                return "pcscd did not open its virtual readers: " + log();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return "";
    }

    // Waits until pcscd sees a card in the reader of `port` (or sees none): it looks at vpcd's
    // readers a few times a second, so a card put in or taken out shows after a moment.
    bool waitForCard(uint16_t port, bool present,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        if (!haveContext_) {
            if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context_) !=
                SCARD_S_SUCCESS) {
                return false;
            }
            haveContext_ = true;
        }
        const std::string reader = port == kFirstReaderPort ? "Virtual PCD 00 00" : "Virtual PCD 00 01";
        SCARD_READERSTATE state{};
        state.szReader = reader.c_str();
        state.dwCurrentState = SCARD_STATE_UNAWARE;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            const LONG error = SCardGetStatusChange(context_, 100, &state, 1);
            if (error == SCARD_S_SUCCESS) {
                if (((state.dwEventState & SCARD_STATE_PRESENT) != 0) == present) return true;
                state.dwCurrentState = state.dwEventState & ~SCARD_STATE_CHANGED;
            } else if (error != SCARD_E_TIMEOUT) {
                return false;
            }
        }
        return false;
    }

    void stop() {
        if (haveContext_) SCardReleaseContext(context_);
        haveContext_ = false;
        if (pcscd_ > 0) {
            kill(pcscd_, SIGTERM);
            waitpid(pcscd_, nullptr, 0);
            pcscd_ = -1;
        }
        if (!dir_.empty()) {
            for (const char* file : {"/readers/vpcd", "/libifdvpcd.so", "/pcscd.log"}) {
                unlink((dir_ + file).c_str());
            }
            rmdir((dir_ + "/readers").c_str());
            rmdir(dir_.c_str());
            dir_.clear();
        }
    }

    std::string log() const {
        std::ifstream in(dir_ + "/pcscd.log");
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

  private:
    static std::string findPcscd() {
        for (const char* path : {"/usr/sbin/pcscd", "/usr/local/sbin/pcscd", "/sbin/pcscd"}) {
            if (access(path, X_OK) == 0) return path;
        }
        return "";
    }

    // The vpcd driver the reader configuration of the system names.
    static std::string findVpcdDriver() {
        DIR* folder = opendir("/etc/reader.conf.d");
        if (folder == nullptr) return "";
        std::string found;
        while (dirent* entry = readdir(folder)) {
            std::ifstream conf(std::string("/etc/reader.conf.d/") + entry->d_name);
            for (std::string line; found.empty() && std::getline(conf, line);) {
                std::istringstream words(line);
                std::string key, path;
                words >> key >> path;
                if (key == "LIBPATH" && path.find("vpcd") != std::string::npos &&
                    access(path.c_str(), R_OK) == 0) {
                    found = path;
                }
            }
        }
        closedir(folder);
        return found;
    }

    static std::string enterNamespaces() {
        int flags = CLONE_NEWNS | CLONE_NEWNET;
        if (geteuid() != 0) flags |= CLONE_NEWUSER;
        const uid_t uid = geteuid();
        const gid_t gid = getegid();
        if (unshare(flags) != 0) {
            return std::string("namespaces are refused here (unshare: ") + std::strerror(errno) +
                   "); this test needs root or user namespaces";
        }
        if (flags & CLONE_NEWUSER) {
            std::ofstream("/proc/self/setgroups") << "deny";
            std::ofstream("/proc/self/uid_map") << "0 " << uid << " 1";
            std::ofstream("/proc/self/gid_map") << "0 " << gid << " 1";
        }
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            return std::string("cannot make the mounts private: ") + std::strerror(errno);
        }
        // Loopback up: the service's WebSocket and vpcd's card port live on it.
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ifreq request{};
        std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
        const bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &request) == 0 &&
                        (request.ifr_flags |= IFF_UP, ioctl(fd, SIOCSIFFLAGS, &request) == 0);
        if (fd >= 0) close(fd);
        if (!up) return std::string("cannot bring loopback up: ") + std::strerror(errno);
        return "";
    }

    static bool copyFile(const std::string& from, const std::string& to) {
        std::ifstream in(from, std::ios::binary);
        std::ofstream out(to, std::ios::binary);
        out << in.rdbuf();
        return in.good() && out.good();
    }

    // A TCP socket of this network namespace listens on `port`.
    static bool listening(uint16_t port) {
        std::ifstream table("/proc/net/tcp");
        char wanted[16];
        std::snprintf(wanted, sizeof wanted, ":%04X", port);
        for (std::string line; std::getline(table, line);) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            if (state == "0A" && local.size() > 5 && local.substr(local.size() - 5) == wanted) {
                return true;
            }
        }
        return false;
    }

    pid_t pcscd_ = -1;
    std::string dir_;
    SCARDCONTEXT context_ = 0;
    bool haveContext_ = false;
};

}  // namespace lenvaro::testing
