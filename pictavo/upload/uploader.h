// Sending files to servers over HTTP and FTP.
#pragma once

#include <cstddef>
#include <string>

#include "pictavo/status.h"

namespace pictavo {

// The caller's buffer for an HTTP answer, terminator included; answers are kept up to one byte
// less and the rest of a longer answer is not read.
inline constexpr size_t kHttpAnswerCapacity = 51200;

struct FtpTarget {
    std::string directory;  // the location as the page names it: "ftp://host/dir" or "host/dir"
    std::string user;
    std::string password;
    int port = 0;
    std::string fileName;  // the name on the server
};

// Called from any thread.
class Uploader {
  public:
    virtual ~Uploader() = default;

    // Posts the file with the form text `param`; `answer` receives the server's reply body.
    // kOk when the server accepted it (2xx); kFailed when it answered otherwise, with `answer`
    // still holding what it said, or when it could not be reached in time (`answer` empty).
    virtual int postHttp(const std::string& filePath, const std::string& url,
                         const std::string& param, std::string& answer) = 0;
    virtual int putFtp(const std::string& filePath, const FtpTarget& target) = 0;
};

// Upload is switched off: every upload answers kNotSupported.
class NoUploader final : public Uploader {
  public:
    int postHttp(const std::string&, const std::string&, const std::string&,
                 std::string&) override {
        return kNotSupported;
    }
    int putFtp(const std::string&, const FtpTarget&) override { return kNotSupported; }
};

}  // namespace pictavo
