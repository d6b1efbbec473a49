// Configuration file reading with TinyXML.
#include "host/config_reader.h"

#include <tinyxml.h>

#include <cstdint>
#include <cstdlib>

#include <boost/asio/ip/address_v4.hpp>

#include "common/file_io.h"
#include "service/handshake_policy.h"

namespace lenvaro {
namespace {

// Text of <exeInfo><name>, or null. Only the first top-level exeInfo is looked at.
const char* exeInfoText(TiXmlDocument& document, const char* name) {
    TiXmlNode* exeInfo = document.FirstChild("exeInfo");
    if (exeInfo == nullptr) return nullptr;
    TiXmlNode* node = exeInfo->FirstChild(name);
    if (node == nullptr) return nullptr;
    TiXmlElement* element = node->ToElement();
    return element != nullptr ? element->GetText() : nullptr;
}

}  // namespace

std::string configurationPath(const std::string& moduleDir) {
    const std::string beside = moduleDir + "/cfg/" + "exeCfg.xml";
    const std::string installed = moduleDir + "/../cfg/" + "exeCfg.xml";
    if (!pathExists(beside) && pathExists(installed)) return installed;
    return beside;
}

bool ConfigReader::readPort(const std::string& path, int& port) const {
    port = DEFAULT_PORT;
    TiXmlDocument document(path.c_str());
    if (!document.LoadFile(TIXML_DEFAULT_ENCODING)) return false;
    const char* text = exeInfoText(document, "port");
    if (text == nullptr) return false;
    // atol, kept to the low 32 bits as a 32-bit long would hold it.
    port = static_cast<int32_t>(static_cast<uint32_t>(std::atol(text)));
    return true;
}

bool ConfigReader::readListenAddress(const std::string& path, std::string& address) const {
    address = DEFAULT_LISTEN_ADDRESS;
    TiXmlDocument document(path.c_str());
    if (!document.LoadFile(TIXML_DEFAULT_ENCODING)) return false;
    const char* text = exeInfoText(document, "listenAddress");
    if (text == nullptr) return false;
    std::string value = text;
    const auto first = value.find_first_not_of(" \t\r\n");
    const auto last = value.find_last_not_of(" \t\r\n");
    if (first == std::string::npos) return false;
    address = value.substr(first, last - first + 1);
    return true;
}

std::vector<std::string> ConfigReader::readAllowedOrigins(const std::string& path) const {
    std::vector<std::string> origins;
    TiXmlDocument document(path.c_str());
    if (!document.LoadFile(TIXML_DEFAULT_ENCODING)) return origins;
    TiXmlNode* exeInfo = document.FirstChild("exeInfo");
    if (exeInfo == nullptr) return origins;
    for (TiXmlElement* element = exeInfo->FirstChildElement("allowedOrigin"); element != nullptr;
         element = element->NextSiblingElement("allowedOrigin")) {
        const char* text = element->GetText();
        origins.emplace_back(text != nullptr ? text : "");
    }
    return origins;
}

ListenSettings readListenSettings(const std::string& configPath, std::string& warnings) {
    ListenSettings settings;
    ConfigReader reader;
    int port = DEFAULT_PORT;
    reader.readPort(configPath, port);
    settings.port = static_cast<unsigned short>(port);
    if (port < 1 || port > 65535) {
        warnings += "warning: port " + std::to_string(port) + " in " + configPath +
                    " is outside 1-65535; using port " + std::to_string(settings.port) +
                    (settings.port == 0 ? " (any free port)" : "") + "\n";
    }
    std::string address;
    reader.readListenAddress(configPath, address);
    boost::system::error_code error;
    boost::asio::ip::make_address_v4(address, error);
    if (error) {
        warnings += "warning: listenAddress \"" + address + "\" in " + configPath +
                    " is not an IPv4 address; listening on " + DEFAULT_LISTEN_ADDRESS + "\n";
    } else {
        settings.address = address;
    }
    settings.allowedOrigins = reader.readAllowedOrigins(configPath);
    for (const std::string& origin : settings.allowedOrigins) {
        if (canonicalOrigin(origin).empty()) {
            warnings += "warning: allowedOrigin \"" + origin + "\" in " + configPath +
                        " is not an origin (scheme://host[:port]); it lets no page in\n";
        }
    }
    return settings;
}

}  // namespace lenvaro
