// Folder listing and deletion, and the deletion of one file.
#include <string>
#include <vector>

#include "files/file_commands.h"
#include "files/folder_walk.h"
#include "files/path_argument.h"
#include "pictavo.h"
#include "service/command_service.h"
#include "service/dispatch.h"
#include "service/reply.h"

namespace lenvaro {
namespace {

// The folder text is used exactly as the page wrote it: no separator is added or removed, and
// the listing joins it to each name with "//" (a trailing "\" or "/" stays in front of it).
// Pages split this text on ";" and "//" and rely on that form.
void getFolderDayFileACommand(CommandService& service) {
    const std::string folder = fittedPath(service.argString("Dictpry"));
    std::string listing;
    for (const FoundFile& file : listFilesRecursive(folder)) {
        listing += folder + "//" + file.name + ";";
    }
    service.sendReply("getFolderDayFileA", listing, false);
}

// The listing shows bare names, also for files met in subfolders; deletion uses the path below
// the folder, so that those files are deleted too rather than asked for where they are not.
void DeleteFolderDayFileACommand(CommandService& service) {
    const std::string folder = fittedPath(service.argString("Dictpry"));
    for (const FoundFile& file : listFilesRecursive(folder)) {
        camDeleteFile((folder + "//" + file.relativePath).c_str());
    }
    service.sendReply("DeleteFolderDayFileA", "", false);
}

void camDeleteFileCommand(CommandService& service) {
    const std::string path = fittedPath(service.argString("FilePath"));
    service.sendReply("camDeleteFile", intToText(camDeleteFile(path.c_str())), false);
}

}  // namespace

void registerFolderCommands(CommandTable& table) {
    table.bind("getFolderDayFileA", getFolderDayFileACommand);
    table.bind("DeleteFolderDayFileA", DeleteFolderDayFileACommand);
    table.bind("camDeleteFile", camDeleteFileCommand);
}

}  // namespace lenvaro
