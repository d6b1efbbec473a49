// Reads the service's start-up configuration, cfg/exeCfg.xml.
#pragma once

#include <string>
#include <vector>

namespace lenvaro {

constexpr int DEFAULT_PORT = 9000;
constexpr const char* DEFAULT_LISTEN_ADDRESS = "127.0.0.1";

// The configuration file: <module dir>/cfg/exeCfg.xml. An installed tree keeps cfg/ beside bin/
// rather than inside it, so when the first file does not exist <module dir>/../cfg/exeCfg.xml
// is used.
std::string configurationPath(const std::string& moduleDir);

class ConfigReader {
public:
    // Sets port to DEFAULT_PORT, then to the text of <exeInfo><port> read as atol reads it.
    // Returns false (port 9000) when the file, the element or its text is missing.
    bool readPort(const std::string& path, int& port) const;

    // Sets address to DEFAULT_LISTEN_ADDRESS, then to the trimmed text of
    // <exeInfo><listenAddress> when it is present. Returns whether it was present.
    bool readListenAddress(const std::string& path, std::string& address) const;

    // Sets on to true, then to false when <exeInfo><trayIcon> says off (off, no, false or 0, in
    // any case); on, yes, true and 1 keep it on. Returns false when the element is missing or
    // says neither (then on stays true, and `unrecognised`, when given, gets what it says).
    bool readTrayIcon(const std::string& path, bool& on, std::string* unrecognised = nullptr) const;

    // The text of every <exeInfo><allowedOrigin>, in file order (TinyXML trims it). Empty when
    // the file or the elements are missing; an empty element counts, as "".
    std::vector<std::string> readAllowedOrigins(const std::string& path) const;
};

// What the service listens on, with the warnings a user should see on standard error.
struct ListenSettings {
    std::string address = DEFAULT_LISTEN_ADDRESS;
    unsigned short port = DEFAULT_PORT;
    // The allowedOrigin settings as written; none lets pages of every origin in.
    std::vector<std::string> allowedOrigins;
    // Whether the service shows its icon on the desktop (<trayIcon>, on by default).
    bool trayIcon = true;
};
ListenSettings readListenSettings(const std::string& configPath, std::string& warnings);

}  // namespace lenvaro
