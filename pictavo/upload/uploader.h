// Sending files to servers over HTTP and FTP.
#pragma once

#include <string>

#include "pictavo/status.h"

namespace pictavo {

struct FtpTarget {
    std::string directory;
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
    virtual int postHttp(const std::string& filePath, const std::string& url,
                         const std::string& param, std::string& answer) = 0;
    virtual int putFtp(const std::string& filePath, const FtpTarget& target) = 0;
};

// The library has no network code yet: every upload answers kNotSupported.
class NoUploader final : public Uploader {
  public:
    int postHttp(const std::string&, const std::string&, const std::string&,
                 std::string&) override {
        return kNotSupported;
    }
    int putFtp(const std::string&, const FtpTarget&) override { return kNotSupported; }
};

}  // namespace pictavo
