// HTTP and FTP uploads through libcurl's easy interface, one handle per upload.
#include "pictavo/upload/curl_uploader.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <memory>
#include <mutex>

namespace pictavo {
namespace {

struct EasyCleanup {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MimeFree {
    void operator()(curl_mime* mime) const { curl_mime_free(mime); }
};
struct ListFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct FileClose {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using Easy = std::unique_ptr<CURL, EasyCleanup>;
using Mime = std::unique_ptr<curl_mime, MimeFree>;
using HeaderList = std::unique_ptr<curl_slist, ListFree>;
using File = std::unique_ptr<std::FILE, FileClose>;

// A local file opened for sending, with its size.
struct Source {
    File file;
    curl_off_t size = 0;
};

// Opens a regular file for reading. Opening does not wait (a FIFO would block until a writer
// came), and whatever is not a regular file is refused before anything reaches the network.
int openSource(const std::string& path, Source& source) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return kFileError;
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return kFileError;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    source.file.reset(fdopen(fd, "rb"));
    if (!source.file) {
        close(fd);
        return kFileError;
    }
    source.size = static_cast<curl_off_t>(info.st_size);
    return kOk;
}

size_t readSource(char* buffer, size_t size, size_t count, void* user) {
    std::FILE* file = static_cast<Source*>(user)->file.get();
    const size_t got = std::fread(buffer, 1, size * count, file);
    if (got == 0 && std::ferror(file)) return CURL_READFUNC_ABORT;
    return got;
}

int seekSource(void* user, curl_off_t offset, int origin) {
    std::FILE* file = static_cast<Source*>(user)->file.get();
    return fseeko(file, static_cast<off_t>(offset), origin) == 0 ? CURL_SEEKFUNC_OK
                                                                 : CURL_SEEKFUNC_FAIL;
}

// The answer body, kept up to the caller's buffer; a longer answer ends the transfer early.
struct AnswerSink {
    std::string text;
    bool full = false;
};

size_t collectAnswer(char* data, size_t size, size_t count, void* user) {
    auto* sink = static_cast<AnswerSink*>(user);
    const size_t bytes = size * count;
    const size_t room = kHttpAnswerCapacity - 1 - sink->text.size();
    try {
        if (bytes > room) {
            sink->text.append(data, room);
            sink->full = true;
            return 0;  // makes libcurl stop with CURLE_WRITE_ERROR
        }
        sink->text.append(data, bytes);
    } catch (...) {
        return 0;
    }
    return bytes;
}

void initialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Options every upload shares: time limits, no signals (other threads run in this process), no
// progress meter, no output beyond what the caller collects.
void setCommonOptions(CURL* easy, const UploadSettings& settings) {
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 1L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(settings.connectTimeoutMs));
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(settings.transferTimeoutMs));
    curl_easy_setopt(easy, CURLOPT_USERAGENT, "pictavo");
}

int statusOfFailure(CURLcode code) {
    switch (code) {
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_URL_MALFORMAT:
            return kInvalidArgument;
        case CURLE_READ_ERROR:
        case CURLE_ABORTED_BY_CALLBACK:
            return kFileError;
        case CURLE_OUT_OF_MEMORY:
            return kInternalError;
        default:
            return kFailed;
    }
}

const char* contentTypeOf(const std::string& path) {
    const size_t dot = path.rfind('.');
    const size_t slash = path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return "application/octet-stream";
    }
    std::string extension = path.substr(dot + 1);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    struct Known {
        const char* extension;
        const char* type;
    };
    static const Known known[] = {
        {"jpg", "image/jpeg"},      {"jpeg", "image/jpeg"},     {"png", "image/png"},
        {"bmp", "image/bmp"},       {"tif", "image/tiff"},      {"tiff", "image/tiff"},
        {"gif", "image/gif"},       {"pdf", "application/pdf"}, {"txt", "text/plain"},
        {"avi", "video/x-msvideo"}, {"mp4", "video/mp4"},       {"wav", "audio/wav"},
    };
    for (const Known& entry : known) {
        if (extension == entry.extension) return entry.type;
    }
    return "application/octet-stream";
}

std::string baseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string percentDecoded(const std::string& text) {
    std::string decoded;
    decoded.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
            hexValue(text[i + 2]) >= 0) {
            decoded += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            decoded += text[i];
        }
    }
    return decoded;
}

// Everything but the unreserved characters of a URL, as %XX.
std::string percentEncoded(const std::string& text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string encoded;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) || c == '-' || c == '.' || c == '_' || c == '~') {
            encoded += c;
        } else {
            encoded += '%';
            encoded += digits[byte >> 4];
            encoded += digits[byte & 15];
        }
    }
    return encoded;
}

bool startsWithNoCase(const std::string& text, const char* prefix) {
    for (size_t i = 0; prefix[i] != '\0'; ++i) {
        if (i >= text.size() || std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) {
            return false;
        }
    }
    return true;
}

// Letters, digits, ".-_", brackets and colons of IPv6 literals, and non-ASCII bytes of
// international names; anything else could change what the URL means.
bool isHostCharacter(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return std::isalnum(byte) || byte >= 0x80 || c == '.' || c == '-' || c == '_' || c == '[' ||
           c == ']' || c == ':';
}

// Splits "host", "host:port", "[v6]" or "[v6]:port"; port 0 when none is written.
bool splitHostPort(const std::string& text, std::string& host, int& port) {
    port = 0;
    size_t colon = std::string::npos;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos) return false;
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':') return false;
            colon = close + 1;
        }
    } else {
        colon = text.find(':');
        if (colon != std::string::npos && text.find(':', colon + 1) != std::string::npos) {
            return false;
        }
    }
    host = text.substr(0, colon);
    if (colon == std::string::npos) return !host.empty();
    const std::string digits = text.substr(colon + 1);
    if (digits.empty() || digits.size() > 5) return false;
    for (const char c : digits) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        port = port * 10 + (c - '0');
    }
    return !host.empty() && port > 0 && port <= 65535;
}

}  // namespace

std::vector<FormField> formFields(const std::string& param) {
    std::vector<FormField> fields;
    size_t start = 0;
    while (start <= param.size()) {
        size_t end = param.find('&', start);
        if (end == std::string::npos) end = param.size();
        const std::string piece = param.substr(start, end - start);
        if (!piece.empty()) {
            const size_t equals = piece.find('=');
            if (equals == std::string::npos) {
                fields.push_back({percentDecoded(piece), ""});
            } else {
                fields.push_back({percentDecoded(piece.substr(0, equals)),
                                  percentDecoded(piece.substr(equals + 1))});
            }
        }
        start = end + 1;
    }
    return fields;
}

int ftpUrl(const FtpTarget& target, const std::string& localFile, std::string& url) {
    if (target.port < 0 || target.port > 65535) return kInvalidArgument;
    std::string location = target.directory;
    if (startsWithNoCase(location, "ftp://")) {
        location.erase(0, 6);
    } else if (location.find("://") != std::string::npos) {
        return kInvalidArgument;
    }
    for (char& c : location) {
        if (c == '\\') c = '/';
    }
    const size_t slash = location.find('/');
    const std::string hostText = location.substr(0, slash);
    for (const char c : hostText) {
        if (!isHostCharacter(c)) return kInvalidArgument;
    }
    std::string host;
    int writtenPort = 0;
    if (!splitHostPort(hostText, host, writtenPort)) return kInvalidArgument;
    const int port = target.port > 0 ? target.port : writtenPort > 0 ? writtenPort : 21;

    std::string path;
    if (slash != std::string::npos) {
        const std::string folders = location.substr(slash + 1);
        size_t start = 0;
        while (start <= folders.size()) {
            size_t end = folders.find('/', start);
            if (end == std::string::npos) end = folders.size();
            const std::string folder = folders.substr(start, end - start);
            if (!folder.empty() && folder != ".") path += percentEncoded(folder) + "/";
            start = end + 1;
        }
    }
    const std::string name = target.fileName.empty() ? baseName(localFile) : target.fileName;
    if (name.empty()) return kInvalidArgument;
    url = "ftp://" + host + ":" + std::to_string(port) + "/" + path + percentEncoded(name);
    return kOk;
}

CurlUploader::CurlUploader(UploadSettings settings) : settings_(settings) { initialiseCurlOnce(); }

int CurlUploader::postHttp(const std::string& filePath, const std::string& url,
                           const std::string& param, std::string& answer) {
    answer.clear();
    Source source;
    if (const int status = openSource(filePath, source); status != kOk) return status;

    // Released in this order after the transfer: the handle before what it points to.
    Mime form;
    HeaderList headers;
    Easy easy(curl_easy_init());
    if (!easy) return kInternalError;

    form.reset(curl_mime_init(easy.get()));
    if (!form) return kInternalError;
    for (const FormField& field : formFields(param)) {
        curl_mimepart* part = curl_mime_addpart(form.get());
        if (part == nullptr || curl_mime_name(part, field.name.c_str()) != CURLE_OK ||
            curl_mime_data(part, field.value.data(), field.value.size()) != CURLE_OK) {
            return kInternalError;
        }
    }
    curl_mimepart* filePart = curl_mime_addpart(form.get());
    if (filePart == nullptr || curl_mime_name(filePart, "file") != CURLE_OK ||
        curl_mime_data_cb(filePart, source.size, readSource, seekSource, nullptr, &source) !=
            CURLE_OK ||
        curl_mime_filename(filePart, baseName(filePath).c_str()) != CURLE_OK ||
        curl_mime_type(filePart, contentTypeOf(filePath)) != CURLE_OK) {
        return kInternalError;
    }
    // Without "Expect: 100-continue" servers that never send the interim answer cost no wait.
    headers.reset(curl_slist_append(nullptr, "Expect:"));

    AnswerSink sink;
    CURL* handle = easy.get();
    setCommonOptions(handle, settings_);
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_MIMEPOST, form.get());
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, collectAnswer);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &sink);

    const CURLcode result = curl_easy_perform(handle);
    if (result != CURLE_OK && !(result == CURLE_WRITE_ERROR && sink.full)) {
        return statusOfFailure(result);
    }
    long code = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &code);
    answer = std::move(sink.text);
    return code >= 200 && code < 300 ? kOk : kFailed;
}

int CurlUploader::putFtp(const std::string& filePath, const FtpTarget& target) {
    std::string url;
    if (const int status = ftpUrl(target, filePath, url); status != kOk) return status;
    Source source;
    if (const int status = openSource(filePath, source); status != kOk) return status;

    Easy easy(curl_easy_init());
    if (!easy) return kInternalError;
    CURL* handle = easy.get();
    setCommonOptions(handle, settings_);
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "ftp");
    // Without a user name libcurl logs in anonymously.
    if (!target.user.empty()) {
        curl_easy_setopt(handle, CURLOPT_USERNAME, target.user.c_str());
        curl_easy_setopt(handle, CURLOPT_PASSWORD, target.password.c_str());
    }
    curl_easy_setopt(handle, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(handle, CURLOPT_READFUNCTION, readSource);
    curl_easy_setopt(handle, CURLOPT_READDATA, &source);
    curl_easy_setopt(handle, CURLOPT_SEEKFUNCTION, seekSource);
    curl_easy_setopt(handle, CURLOPT_SEEKDATA, &source);
    curl_easy_setopt(handle, CURLOPT_INFILESIZE_LARGE, source.size);
    curl_easy_setopt(handle, CURLOPT_FTP_CREATE_MISSING_DIRS,
                     static_cast<long>(CURLFTP_CREATE_DIR_RETRY));

    const CURLcode result = curl_easy_perform(handle);
    return result == CURLE_OK ? kOk : statusOfFailure(result);
}

}  // namespace pictavo
