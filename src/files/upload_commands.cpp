// Uploading a file to a web server or an FTP server through the capture library.
#include <cstring>
#include <string>
#include <vector>

#include "files/file_commands.h"
#include "files/path_argument.h"
#include "pictavo.h"
#include "service/command_service.h"
#include "service/dispatch.h"
#include "service/reply.h"

namespace lenvaro {
namespace {

// The library writes the server's answer into a buffer of this size, terminator included.
constexpr size_t kAnswerBytes = 51200;

// An answer that already looks like a JSON object or a JSON string is embedded as the reply's
// value; anything else is sent as a quoted text. Only the first and the last character are
// looked at, so a lone quotation mark counts as a JSON string and "{...}\n" does not count.
bool looksLikeJson(const std::string& answer) {
    if (answer.empty()) return false;
    const char first = answer.front();
    const char last = answer.back();
    return (first == '"' && last == '"') || (first == '{' && last == '}');
}

// The status of the upload is not passed on: the page judges the answer itself.
// The URL and the form text are passed whole; only the file path is held to the path buffer.
void camUpdataFileHttpCommand(CommandService& service) {
    const std::string filePath = fittedPath(service.argString("filePath"));
    const std::string url = service.argString("url");
    const std::string param = service.argString("param");
    std::vector<char> answer(kAnswerBytes, '\0');
    camUpdataFileHttp(filePath.c_str(), url.c_str(), param.c_str(), answer.data());
    // A library that fills the whole buffer without a terminator is read up to its end only.
    const std::string text(answer.data(), strnlen(answer.data(), answer.size()));
    service.sendReply("camUpdataFileHttp", text, looksLikeJson(text));
}

// The command and the library function have different names. The user name and the password
// are handed on and kept nowhere.
void camUpdataFileFtpCommand(CommandService& service) {
    const std::string filePath = service.argString("strfilePath");
    const std::string ftpPath = service.argString("strftpPath");
    const std::string user = service.argString("struserName");
    const std::string password = service.argString("struserPsd");
    const int32_t port = service.argInt("iPort");
    const std::string targetName = service.argString("strtargetName");
    const int status = camUpdataFileFtpEx(filePath.c_str(), ftpPath.c_str(), user.c_str(),
                                          password.c_str(), port, targetName.c_str());
    service.sendReply("camUpdataFileFtp", intToText(status), false);
}

}  // namespace

void registerUploadCommands(CommandTable& table) {
    table.bind("camUpdataFileHttp", camUpdataFileHttpCommand);
    table.bind("camUpdataFileFtp", camUpdataFileFtpCommand);
}

}  // namespace lenvaro
