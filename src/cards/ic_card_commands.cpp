// IC card commands: each maps its argument keys onto one library function, hands it an output
// buffer of the size the command's contract fixes, and replies with the text the library wrote
// there (up to its first zero byte). The steps of an HSM operation are linked by the library and
// the page; the service keeps nothing between them.
#include <cstring>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "cards/card_commands.h"
#include "pictavo.h"
#include "service/command_service.h"
#include "service/dispatch.h"

namespace lenvaro {
namespace {

using Service = CommandService;

struct IcCommand {
    const char* name;
    size_t outBytes;  // the library is never told this; it is the contract
    int (*call)(Service&, char* out);
};

// Argument texts live until the end of each call expression, which spans the library call.
constexpr IcCommand kIcCommands[] = {
    {"iReadCardBas", 1024,
     [](Service& s, char* out) { return CamReadCardBas(s.argInt("iType"), out); }},
    {"iReadCardBas_HSM_Step1", 1024,
     [](Service& s, char* out) { return CamReadCardBas_HSM_Step1(s.argInt("iType"), out); }},
    {"iReadCardBas_HSM_Step2", 1024,
     [](Service& s, char* out) {
         return CamReadCardBas_HSM_Step2(s.argString("pKey").c_str(), out);
     }},
    {"iReadCard", 20480,
     [](Service& s, char* out) {
         return CamReadCard(s.argInt("iType"), s.argInt("iAuthType"),
                            s.argString("pCardInfo").c_str(), s.argString("pFileAddr").c_str(),
                            out);
     }},
    {"iReadCard_HSM_Step1", 1024,
     [](Service& s, char* out) {
         return CamReadCard_HSM_Step1(s.argInt("iType"), s.argString("pCardInfo").c_str(),
                                      s.argString("pFileAddr").c_str(), out);
     }},
    {"iReadCard_HSM_Step2", 20480,
     [](Service& s, char* out) { return CamReadCard_HSM_Step2(s.argString("pKey").c_str(), out); }},
    {"iWriteCard", 1024,
     [](Service& s, char* out) {
         return CamWriteCard(s.argInt("iType"), s.argString("pCardInfo").c_str(),
                             s.argString("pFileAddr").c_str(), s.argString("pWriteData").c_str(),
                             out);
     }},
    {"iWriteCard_HSM_Step1", 1024,
     [](Service& s, char* out) {
         return CamWriteCard_HSM_Step1(s.argInt("iType"), s.argString("pCardInfo").c_str(),
                                       s.argString("pFileAddr").c_str(), out);
     }},
    {"iWriteCard_HSM_Step2", 1024,
     [](Service& s, char* out) {
         return CamWriteCard_HSM_Step2(s.argString("pKey").c_str(),
                                       s.argString("pWriteData").c_str(), out);
     }},
    {"iVerifyPIN", 512, [](Service& s, char* out) { return CamVerifyPIN(s.argInt("iType"), out); }},
    {"iChangePIN", 512, [](Service& s, char* out) { return CamChangePIN(s.argInt("iType"), out); }},
    {"iReloadPIN", 512,
     [](Service& s, char* out) {
         return CamReloadPIN(s.argInt("iType"), s.argString("pCardInfo").c_str(), out);
     }},
    {"iReloadPIN_HSM_Step1", 512,
     [](Service& s, char* out) {
         return CamReloadPIN_HSM_Step1(s.argInt("iType"), s.argString("pCardInfo").c_str(), out);
     }},
    {"iReloadPIN_HSM_Step2", 1024,
     [](Service& s, char* out) {
         return CamReloadPIN_HSM_Step2(s.argString("pKey").c_str(), out);
     }},
    {"iUnblockPIN_HSM_Step3", 1024,
     [](Service& s, char* out) {
         return CamUnblockPIN_HSM_Step3(s.argString("pKey").c_str(), out);
     }},
    {"iUnblockPIN", 512,
     [](Service& s, char* out) {
         return CamUnblockPIN(s.argInt("iType"), s.argString("pCardInfo").c_str(), out);
     }},
    {"iUnblockPIN_HSM_Step1", 512,
     [](Service& s, char* out) {
         return CamUnblockPIN_HSM_Step1(s.argInt("iType"), s.argString("pCardInfo").c_str(), out);
     }},
    {"iUnblockPIN_HSM_Step2", 1024,
     [](Service& s, char* out) {
         return CamUnblockPIN_HSM_Step2(s.argString("pKey").c_str(), out);
     }},
    {"iDoDebit", 512,
     [](Service& s, char* out) {
         return CamDoDebit(s.argInt("iType"), s.argString("pCardInfo").c_str(),
                           s.argString("pPayInfo").c_str(), out);
     }},
    {"iDoDebit_HSM_Step1", 512,
     [](Service& s, char* out) {
         return CamDoDebit_HSM_Step1(s.argInt("iType"), s.argString("pCardInfo").c_str(),
                                     s.argString("pPayInfo").c_str(), out);
     }},
    {"iDoDebit_HSM_Step2", 1024,
     [](Service& s, char* out) { return CamDoDebit_HSM_Step2(s.argString("pKey").c_str(), out); }},
    {"iReadDebitRecord", 2048,
     [](Service& s, char* out) { return CamReadDebitRecord(s.argInt("iType"), out); }},
};

// The library's status is not looked at: whatever it wrote is the answer, and an empty buffer
// answers the empty text. The text is read within the buffer only.
template <size_t Index>
void icCardCommand(Service& service) {
    const IcCommand& command = kIcCommands[Index];
    std::vector<char> out(command.outBytes, '\0');
    command.call(service, out.data());
    service.sendReply(command.name, std::string(out.data(), strnlen(out.data(), out.size())),
                      false);
}

template <size_t... Index>
void bindIcCardCommands(CommandTable& table, std::index_sequence<Index...>) {
    (table.bind(kIcCommands[Index].name, icCardCommand<Index>), ...);
}

}  // namespace

void registerIcCardCommands(CommandTable& table) {
    bindIcCardCommands(table, std::make_index_sequence<std::size(kIcCommands)>());
}

}  // namespace lenvaro
