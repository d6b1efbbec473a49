// The file service command groups, bound into the command table by registerFileCommands.
#pragma once

namespace lenvaro {

class CommandTable;

// getFolderDayFileA, DeleteFolderDayFileA, camDeleteFile.
void registerFolderCommands(CommandTable& table);
// camUpdataFileHttp, camUpdataFileFtp.
void registerUploadCommands(CommandTable& table);

}  // namespace lenvaro
