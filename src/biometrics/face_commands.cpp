// Face matching commands: two still images, an image against the open camera, and the start of
// the background match.
#include <string>

#include "biometrics/biometric_commands.h"
#include "biometrics/face_match_worker.h"
#include "files/path_argument.h"
#include "pictavo.h"
#include "service/command_service.h"
#include "service/dispatch.h"
#include "service/reply.h"

namespace lenvaro {
namespace {

// The library reports failure as a negative status and a similarity through the score it was
// handed (preset to 0). A failure wins even when the library also wrote a score.
int matchResult(int status, int score) { return status < 0 ? status : score; }

void camInitFaceCommand(CommandService& service) {
    service.sendReply("camInitFace", intToText(camInitFace()), false);
}

void camUnInitFaceCommand(CommandService& service) {
    service.sendReply("camUnInitFace", intToText(camUnInitFace()), false);
}

void camMatchFaceByFileCommand(CommandService& service) {
    const std::string path1 = fittedPath(service.argString("filePath1"));
    const std::string path2 = fittedPath(service.argString("filePath2"));
    int score = 0;
    const int status = camMatchFaceByFile(path1.c_str(), path2.c_str(), &score);
    service.sendReply("camMatchFaceByFile", intToText(matchResult(status, score)), false);
}

void camMatchFaceByBase64Command(CommandService& service) {
    const std::string image1 = service.argString("PersonFace1");
    const std::string image2 = service.argString("PersonFace2");
    int score = 0;
    const int status = camMatchFaceByBase64(image1.c_str(), image2.c_str(), &score);
    service.sendReply("camMatchFaceByBase64", intToText(matchResult(status, score)), false);
}

void camMatchFaceByFileVideoCommand(CommandService& service) {
    const std::string path = fittedPath(service.argString("filePath"));
    const std::string videoPath = fittedPath(service.argString("videoFilePath"));
    const int32_t milliseconds = service.argInt("ldelayTime");
    int score = 0;
    const int status = camMatchFaceByFileVideo(service.currentDevice.load(), path.c_str(), &score,
                                               videoPath.c_str(), milliseconds);
    service.sendReply("camMatchFaceByFileVideo", intToText(matchResult(status, score)), false);
}

void camMatchFaceByBase64VideoCommand(CommandService& service) {
    const std::string image = service.argString("personFace");
    const std::string videoPath = fittedPath(service.argString("videoFilePath"));
    const int32_t milliseconds = service.argInt("ldelayTime");
    int score = 0;
    const int status = camMatchFaceByBase64Video(service.currentDevice.load(), image.c_str(),
                                                 &score, videoPath.c_str(), milliseconds);
    service.sendReply("camMatchFaceByBase64Video", intToText(matchResult(status, score)), false);
}

// Answers nothing now: the worker it starts pushes the result under this command's name.
void camStartAsyMatchFaceBase64VideoCommand(CommandService& service) {
    FaceMatchJob job;
    job.personFace = service.argString("personFace");
    job.videoFilePath = fittedPath(service.argString("videoFilePath"));
    job.delayTime = service.argInt("ldelayTime");
    job.scoreThreshold = service.argInt("score");
    service.faceMatchWorkers().start(std::move(job));
}

void camSetLivingBodyStateCommand(CommandService& service) {
    const int on = service.argInt("bOpen") != 0 ? 1 : 0;
    service.sendReply("camSetLivingBodyState", intToText(camSetLivingBodyState(on)), false);
}

}  // namespace

void registerFaceCommands(CommandTable& table) {
    table.bind("camInitFace", camInitFaceCommand);
    table.bind("camUnInitFace", camUnInitFaceCommand);
    table.bind("camMatchFaceByFileVideo", camMatchFaceByFileVideoCommand);
    table.bind("camMatchFaceByBase64Video", camMatchFaceByBase64VideoCommand);
    table.bind("camStartAsyMatchFaceBase64Video", camStartAsyMatchFaceBase64VideoCommand);
    table.bind("camMatchFaceByFile", camMatchFaceByFileCommand);
    table.bind("camMatchFaceByBase64", camMatchFaceByBase64Command);
    table.bind("camSetLivingBodyState", camSetLivingBodyStateCommand);
}

}  // namespace lenvaro
