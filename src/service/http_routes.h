// The plain HTTP answers of the endpoint: the demo page's files under /demo/ (its icon also as
// /favicon.ico, and / leads there), the client library under /client/ for pages of any site,
// and GET /status. HEAD is answered as GET without the body; other paths get 404, other
// methods 405.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace lenvaro {

struct HttpAnswer {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // False for HEAD: the headers (Content-Length included) tell of the body, which is not sent.
    bool sendBody = true;

    // The value of a header, or "" when it is not set.
    std::string header(const std::string& name) const;
};

// The folder the demo page is served from: <moduleDir>/web/demo beside the executable, else
// <moduleDir>/../share/lenvaro-server/web/demo (the installed and the build tree layouts).
// Returns the second when neither exists, so the page answers 404 until it is installed.
std::string demoDirectory(const std::string& moduleDir);

class HttpRoutes {
public:
    // The service's state as JSON members (no braces) that /status adds after the name and
    // version; called on the I/O thread for each such request.
    using StateMembers = std::function<std::string()>;

    HttpRoutes(std::string demoDirectory, std::string serviceName, std::string serviceVersion,
               StateMembers stateMembers = {});
    // The running service's routes: its name and version, the demo folder found from the
    // executable's directory.
    static HttpRoutes forThisService(StateMembers stateMembers);

    // The answer to a plain HTTP request for `resource` (path and query as sent). showState:
    // whether /status may tell the asker the service's state (mayReadServiceState).
    HttpAnswer answer(const std::string& method, const std::string& resource,
                      bool showState = true) const;

private:
    HttpAnswer answerGet(const std::string& path, bool showState) const;
    HttpAnswer status(bool showState) const;
    // The file at urlPath, whose first prefixLength characters name `folder`.
    HttpAnswer fileUnder(const std::string& folder, const std::string& urlPath,
                         size_t prefixLength) const;

    std::string demoDirectory_;
    std::string serviceName_;
    std::string serviceVersion_;
    StateMembers stateMembers_;
};

// The Content-Type the demo files are served with, by extension.
std::string contentTypeFor(const std::string& path);

}  // namespace lenvaro
