// The handshake policy: pure text checks, no sockets.
#include "service/handshake_policy.h"

#include <cstddef>

namespace lenvaro {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isLowerLetter(char c) { return c >= 'a' && c <= 'z'; }

std::string asciiLower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// 1 to 5 digits, at most 65535.
bool isPort(const std::string& text) {
    if (text.empty() || text.size() > 5) return false;
    unsigned long value = 0;
    for (char c : text) {
        if (!isDigit(c)) return false;
        value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    return value <= 65535;
}

// Splits "name[:port]" or "[v6][:port]" into the name (brackets kept) and the port text.
// False when the shape is wrong: a second colon outside brackets, an empty or bad port.
bool splitHostPort(const std::string& hostPort, std::string& name, std::string& port) {
    size_t nameEnd = 0;
    if (!hostPort.empty() && hostPort[0] == '[') {
        const size_t close = hostPort.find(']');
        if (close == std::string::npos) return false;
        nameEnd = close + 1;
    } else {
        nameEnd = hostPort.find(':');
        if (nameEnd == std::string::npos) nameEnd = hostPort.size();
    }
    name = hostPort.substr(0, nameEnd);
    if (name.empty() || name == "[]") return false;
    if (nameEnd == hostPort.size()) {
        port.clear();
        return true;
    }
    if (hostPort[nameEnd] != ':') return false;
    port = hostPort.substr(nameEnd + 1);
    return isPort(port);
}

bool isOriginScheme(const std::string& scheme) {
    if (scheme.empty() || !isLowerLetter(scheme[0])) return false;
    for (char c : scheme) {
        if (!isLowerLetter(c) && !isDigit(c) && c != '+' && c != '.' && c != '-') return false;
    }
    return true;
}

// A host (and port) as an origin carries it, already in lower case: a name of letters, digits,
// dots, hyphens and underscores (international names arrive in their xn-- form), or a bracketed
// IPv6 address. No path, user part or wildcard.
bool isOriginAuthority(const std::string& authority) {
    std::string name;
    std::string port;
    if (!splitHostPort(authority, name, port)) return false;
    const bool bracketed = name.front() == '[';
    const std::string inner = bracketed ? name.substr(1, name.size() - 2) : name;
    for (char c : inner) {
        const bool allowed = bracketed ? (isDigit(c) || (c >= 'a' && c <= 'f') || c == ':' || c == '.')
                                       : (isLowerLetter(c) || isDigit(c) || c == '.' || c == '-' || c == '_');
        if (!allowed) return false;
    }
    return true;
}

}  // namespace

std::string canonicalOrigin(const std::string& setting) {
    const char* const blanks = " \t\r\n";
    const size_t first = setting.find_first_not_of(blanks);
    if (first == std::string::npos) return "";
    const size_t last = setting.find_last_not_of(blanks);
    std::string origin = asciiLower(setting.substr(first, last - first + 1));
    // Pages opened from files and sandboxed frames send the opaque origin "null".
    if (origin == "null") return origin;
    if (origin.back() == '/') origin.pop_back();
    const size_t separator = origin.find("://");
    if (separator == std::string::npos) return "";
    if (!isOriginScheme(origin.substr(0, separator))) return "";
    if (!isOriginAuthority(origin.substr(separator + 3))) return "";
    return origin;
}

HandshakePolicy makeHandshakePolicy(const std::vector<std::string>& allowedOriginSettings,
                                    const std::string& listenAddress) {
    HandshakePolicy policy;
    policy.originsRestricted = !allowedOriginSettings.empty();
    for (const std::string& setting : allowedOriginSettings) {
        std::string origin = canonicalOrigin(setting);
        if (!origin.empty()) policy.allowedOrigins.push_back(std::move(origin));
    }
    policy.loopbackHostOnly = isLoopbackAddress(listenAddress);
    return policy;
}

bool isLoopbackAddress(const std::string& ipv4) {
    size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (at >= ipv4.size() || ipv4[at] != '.') return false;
            ++at;
        }
        const size_t start = at;
        unsigned value = 0;
        while (at < ipv4.size() && isDigit(ipv4[at]) && at - start < 3) {
            value = value * 10 + static_cast<unsigned>(ipv4[at] - '0');
            ++at;
        }
        const size_t length = at - start;
        if (length == 0 || value > 255) return false;
        if (length > 1 && ipv4[start] == '0') return false;
        if (part == 0 && value != 127) return false;
    }
    return at == ipv4.size();
}

bool isLoopbackHost(const std::string& host) {
    std::string name;
    std::string port;
    if (!splitHostPort(host, name, port)) return false;
    name = asciiLower(name);
    return name == "localhost" || name == "[::1]" || isLoopbackAddress(name);
}

HandshakeVerdict judgeHandshake(const HandshakePolicy& policy, const std::string& host,
                                const std::string& origin) {
    if (policy.loopbackHostOnly && !isLoopbackHost(host)) return HandshakeVerdict::RefuseHost;
    if (!policy.originsRestricted) return HandshakeVerdict::Accept;
    // Exact comparison: a prefix or substring test would let "https://bank.example.evil.test"
    // in under "https://bank.example".
    for (const std::string& allowed : policy.allowedOrigins) {
        if (!origin.empty() && origin == allowed) return HandshakeVerdict::Accept;
    }
    return HandshakeVerdict::RefuseOrigin;
}

bool mayReadServiceState(const HandshakePolicy& policy, const std::string& host,
                         const std::string& origin) {
    if (policy.loopbackHostOnly && !isLoopbackHost(host)) return false;
    return origin.empty() || judgeHandshake(policy, host, origin) == HandshakeVerdict::Accept;
}

}  // namespace lenvaro
