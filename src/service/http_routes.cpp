// The demo page's files, the client library and the status answer.
#include "service/http_routes.h"

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "common/file_io.h"
#include "common/paths.h"

#ifndef LENVARO_VERSION
#define LENVARO_VERSION "unknown"
#endif

namespace lenvaro {
namespace {

constexpr const char* kDemoPrefix = "/demo/";
// The client library for pages of any site, at paths that stay: the ES module and the classic
// script (lenvaro-client.global.js), from the demo page's client/ folder.
constexpr const char* kClientPrefix = "/client/";
// The demo files are a few kilobytes; anything far larger in that folder is not ours to send,
// and reading it would hold up the service thread.
constexpr uint64_t kLargestServedFile = 16 * 1024 * 1024;

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// %XX decoding; false for a malformed escape.
bool percentDecode(const std::string& text, std::string& decoded) {
    decoded.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return false;
        const int high = hexDigit(text[i + 1]);
        const int low = hexDigit(text[i + 2]);
        if (high < 0 || low < 0) return false;
        decoded += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

// True when every segment of the relative path names something inside the folder: no "..",
// no ".", no empty segment in the middle, no NUL and no backslash (which some tools read as a
// separator).
bool isSafeRelativePath(const std::string& relative) {
    if (relative.find('\0') != std::string::npos || relative.find('\\') != std::string::npos) return false;
    size_t start = 0;
    while (start <= relative.size()) {
        size_t end = relative.find('/', start);
        if (end == std::string::npos) end = relative.size();
        const std::string segment = relative.substr(start, end - start);
        if (segment == ".." || segment == ".") return false;
        if (segment.empty() && end != relative.size()) return false;
        start = end + 1;
    }
    return true;
}

HttpAnswer plainText(int status, const std::string& text) {
    HttpAnswer answer;
    answer.status = status;
    answer.headers = {{"Content-Type", "text/plain; charset=utf-8"}, {"Cache-Control", "no-store"}};
    answer.body = text + "\n";
    return answer;
}

HttpAnswer redirect(const std::string& location, int status = 301) {
    HttpAnswer answer = plainText(status, "Moved to " + location);
    answer.headers.emplace_back("Location", location);
    return answer;
}

std::string jsonString(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            static const char* kHex = "0123456789abcdef";
            quoted += "\\u00";
            quoted += kHex[(c >> 4) & 0xF];
            quoted += kHex[c & 0xF];
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

std::string HttpAnswer::header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
        if (key == name) return value;
    }
    return "";
}

std::string demoDirectory(const std::string& moduleDir) {
    const std::string beside = moduleDir + "/web/demo";
    if (isDirectory(beside)) return beside;
    return moduleDir + "/../share/lenvaro-server/web/demo";
}

std::string contentTypeFor(const std::string& path) {
    static const std::pair<const char*, const char*> kTypes[] = {
        {".html", "text/html; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        // Module scripts are refused by browsers under any other type.
        {".js", "text/javascript; charset=utf-8"},
        {".mjs", "text/javascript; charset=utf-8"},
        {".json", "application/json; charset=utf-8"},
        {".map", "application/json; charset=utf-8"},
        {".ts", "text/plain; charset=utf-8"},
        {".txt", "text/plain; charset=utf-8"},
        {".md", "text/plain; charset=utf-8"},
        {".svg", "image/svg+xml"},
        {".png", "image/png"},
        {".jpg", "image/jpeg"},
        {".jpeg", "image/jpeg"},
        {".gif", "image/gif"},
        {".ico", "image/x-icon"},
        {".webp", "image/webp"},
        {".woff2", "font/woff2"},
    };
    std::string lower = path;
    for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    for (const auto& [extension, type] : kTypes) {
        if (endsWith(lower, extension)) return type;
    }
    return "application/octet-stream";
}

HttpRoutes::HttpRoutes(std::string demoDirectory, std::string serviceName, std::string serviceVersion,
                       StateMembers stateMembers)
    : demoDirectory_(std::move(demoDirectory)),
      serviceName_(std::move(serviceName)),
      serviceVersion_(std::move(serviceVersion)),
      stateMembers_(std::move(stateMembers)) {}

HttpRoutes HttpRoutes::forThisService(StateMembers stateMembers) {
    return HttpRoutes(demoDirectory(moduleDirectory()), "Lenvaro Server", LENVARO_VERSION,
                      std::move(stateMembers));
}

HttpAnswer HttpRoutes::answer(const std::string& method, const std::string& resource, bool showState) const {
    if (method != "GET" && method != "HEAD") {
        HttpAnswer refused = plainText(405, "Method Not Allowed");
        refused.headers.emplace_back("Allow", "GET, HEAD");
        return refused;
    }
    HttpAnswer answer = answerGet(resource.substr(0, resource.find_first_of("?#")), showState);
    answer.sendBody = method == "GET";
    return answer;
}

HttpAnswer HttpRoutes::answerGet(const std::string& path, bool showState) const {
    if (path == "/status") return status(showState);
    // The service's own address leads to its page.
    if (path == "/") return redirect("/demo/", 302);
    if (path == "/demo") return redirect("/demo/");
    if (path == "/client") return redirect("/client/");
    // Browsers ask for it on every page of this origin; the demo page's icon answers (404 when
    // the page is not installed).
    if (path == "/favicon.ico") return fileUnder(demoDirectory_, "/favicon.ico", 1);
    const size_t demoPrefix = std::char_traits<char>::length(kDemoPrefix);
    if (path.compare(0, demoPrefix, kDemoPrefix) == 0) return fileUnder(demoDirectory_, path, demoPrefix);
    const size_t clientPrefix = std::char_traits<char>::length(kClientPrefix);
    if (path.compare(0, clientPrefix, kClientPrefix) == 0) {
        HttpAnswer file = fileUnder(demoDirectory_ + "/client", path, clientPrefix);
        // Any page may load it, as a module (a CORS request) or a classic script, also one
        // that accepts cross-origin resources only when they say so.
        file.headers.emplace_back("Access-Control-Allow-Origin", "*");
        file.headers.emplace_back("Cross-Origin-Resource-Policy", "cross-origin");
        return file;
    }
    return plainText(404, "Not Found");
}

HttpAnswer HttpRoutes::status(bool showState) const {
    HttpAnswer answer;
    answer.headers = {{"Content-Type", "application/json; charset=utf-8"},
                      {"Access-Control-Allow-Origin", "*"},
                      {"Cache-Control", "no-store"}};
    answer.body = "{\"name\":" + jsonString(serviceName_) + ",\"version\":" + jsonString(serviceVersion_);
    if (showState && stateMembers_) {
        const std::string members = stateMembers_();
        if (!members.empty()) answer.body += "," + members;
    }
    answer.body += "}";
    return answer;
}

HttpAnswer HttpRoutes::fileUnder(const std::string& folder, const std::string& path, size_t prefixLength) const {
    std::string relative;
    if (!percentDecode(path.substr(prefixLength), relative)) return plainText(400, "Bad Request");
    if (!isSafeRelativePath(relative)) return plainText(403, "Forbidden");
    if (relative.empty() || relative.back() == '/') relative += "index.html";

    // The resolved file must still lie inside the demo folder: a link placed in it must not
    // lead the page anywhere else on the computer.
    const std::string root = resolvedPath(folder);
    const std::string file = resolvedPath(folder + "/" + relative);
    if (root.empty() || file.empty() || file.compare(0, root.size() + 1, root + kPathSeparator) != 0) {
        return plainText(404, "Not Found");
    }
    if (isDirectory(file)) return redirect(path + "/");
    uint64_t size = 0;
    if (!regularFileSize(file, size) || size > kLargestServedFile) return plainText(404, "Not Found");

    std::string content;
    if (!readRegularFile(file, content)) return plainText(404, "Not Found");
    HttpAnswer answer;
    answer.headers = {{"Content-Type", contentTypeFor(file)},
                      {"Cache-Control", "no-cache"},
                      {"X-Content-Type-Options", "nosniff"}};
    answer.body = std::move(content);
    return answer;
}

}  // namespace lenvaro
