// Uploads with libcurl: HTTP(S) multipart form posts and FTP stores, each bounded in time.
#pragma once

#include <string>
#include <vector>

#include "pictavo/config.h"
#include "pictavo/upload/uploader.h"

namespace pictavo {

struct FormField {
    std::string name;
    std::string value;
};

// The form fields of the page's parameter text, in order: "a=1&b=x y" gives a = "1" and
// b = "x y". Pieces are split at "&" and at their first "="; a piece without "=" is a field with
// an empty value; empty pieces are skipped. "%XX" escapes are decoded in names and values, while
// "+" stays "+" (Base64 values pass unchanged).
std::vector<FormField> formFields(const std::string& param);

// The URL of the file on the FTP server. The location is "ftp://host/dir" or "host/dir" ("\" is
// read as "/"; the folder may be empty); the host may carry ":port", which `target.port` overrides
// when it is above 0, and 21 is used when neither says. Folders are relative to the user's login
// folder. The name on the server is `target.fileName`, or the local file's name when that is
// empty. kInvalidArgument when the location names another scheme, no host, a host with a user
// part or characters no host has, or a port outside 0..65535.
int ftpUrl(const FtpTarget& target, const std::string& localFile, std::string& url);

// The file goes in the form field "file" (its local name as file name, a content type from its
// extension), after the fields of the parameter text. Redirects are not followed, only http and
// https are spoken, certificates are verified. FTP creates missing folders on the server. The
// user name and the password go to libcurl only, never into a URL or a log; nothing is logged.
class CurlUploader final : public Uploader {
  public:
    explicit CurlUploader(UploadSettings settings);

    int postHttp(const std::string& filePath, const std::string& url, const std::string& param,
                 std::string& answer) override;
    // kOk once the server confirmed the file; kFileError when the local file is not a readable
    // regular file; kInvalidArgument for a location ftpUrl() refuses; kFailed for everything the
    // server or the network did (refused, login denied, timed out).
    int putFtp(const std::string& filePath, const FtpTarget& target) override;

  private:
    const UploadSettings settings_;
};

}  // namespace pictavo
