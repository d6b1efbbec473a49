// Template recognition commands: the templates the library knows, and the fields of an image
// recognised with one of them, answered as object texts.
//
// Three of these protocol names end in a space ("otrGetTemplateCount ", "otrGetTemplateInfo ",
// "OtrRecog "); pages send them so and the replies echo them so. The object texts travel
// unescaped inside the quoted reply, so the message as a whole is not valid JSON: pages cut the
// object out of it and parse that.
#include <algorithm>

#include "pictavo.h"
#include "recognition/fixed_buffer.h"
#include "recognition/recognition_commands.h"
#include "service/command_service.h"
#include "service/dispatch.h"
#include "service/reply.h"

namespace lenvaro {
namespace {

constexpr size_t kTemplateNameBytes = 1024;
constexpr size_t kFieldNameBytes = 1024;
constexpr size_t kFieldValueBytes = 10000;
// Bounds the service thread's work when a library reports an absurd number of fields.
constexpr int kMaxFields = 4096;

std::string errorObject(int status) { return "{\"errorCode\":\"" + intToText(status) + "\"}"; }

void otrUnInitCommand(CommandService& service) {
    service.sendReply("otrUnInit", intToText(otrUnInit()), false);
}

void otrGetTemplateCountCommand(CommandService& service) {
    int count = 0;
    otrGetTemplateCount(&count);
    service.sendReply("otrGetTemplateCount ", intToText(count), false);
}

void otrGetTemplateInfoCommand(CommandService& service) {
    const int index = service.argInt("index");
    TextBuffer name(kTemplateNameBytes);
    int size = static_cast<int>(kTemplateNameBytes);
    const int status = otrGetTemplateInfo(index, name.data(), &size);
    service.sendReply(
        "otrGetTemplateInfo ",
        status == 0 ? "{\"TemplateName\":\"" + name.text() + "\"}" : errorObject(status), false);
}

void otrRecogCommand(CommandService& service) {
    const int index = service.argInt("index");
    const std::string path = service.argString("strimagePath");
    int status = otrRecog(index, path.c_str());
    int count = 0;
    if (status == 0) status = otrGetResultCount(&count);
    if (status != 0) {
        service.sendReply("OtrRecog ", errorObject(status), false);
        return;
    }
    std::string result = "{";
    TextBuffer name(kFieldNameBytes);
    TextBuffer value(kFieldValueBytes);
    for (int i = 0; i < std::min(count, kMaxFields); ++i) {
        name.clear();
        value.clear();
        otrGetResultInfo(i, name.data(), value.data());
        if (i > 0) result += ',';
        result += '"' + name.text() + "\":\"" + value.text() + '"';
    }
    result += '}';
    service.sendReply("OtrRecog ", result, false);
}

}  // namespace

void registerTemplateCommands(CommandTable& table) {
    table.bind("otrUnInit", otrUnInitCommand);
    table.bind("otrGetTemplateCount ", otrGetTemplateCountCommand);
    table.bind("otrGetTemplateInfo ", otrGetTemplateInfoCommand);
    table.bind("OtrRecog ", otrRecogCommand);
}

}  // namespace lenvaro
