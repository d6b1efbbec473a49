// The plain HTTP answers of the endpoint: the demo page's files under /demo/ (its icon also as
// /favicon.ico) and GET /status.
// Every other plain HTTP request is left alone, so it keeps the WebSocket library's default
// answer.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace lenvaro {

struct HttpAnswer {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    // The value of a header, or "" when it is not set.
    std::string header(const std::string& name) const;
};

// The folder the demo page is served from: <moduleDir>/web/demo beside the executable, else
// <moduleDir>/../share/lenvaro-server/web/demo (the installed and the build tree layouts).
// Returns the second when neither exists, so the page answers 404 until it is installed.
std::string demoDirectory(const std::string& moduleDir);

class HttpRoutes {
public:
    HttpRoutes(std::string demoDirectory, std::string serviceName, std::string serviceVersion);
    // The running service's routes: its name and version, the demo folder found from the
    // executable's directory.
    static HttpRoutes forThisService();

    // The answer to a plain HTTP request for `resource` (path and query as sent), or nothing
    // when the request is not one of ours. Only GET is answered.
    std::optional<HttpAnswer> answer(const std::string& method, const std::string& resource) const;

private:
    HttpAnswer status() const;
    HttpAnswer demoFile(const std::string& path) const;

    std::string demoDirectory_;
    std::string serviceName_;
    std::string serviceVersion_;
};

// The Content-Type the demo files are served with, by extension.
std::string contentTypeFor(const std::string& path);

}  // namespace lenvaro
