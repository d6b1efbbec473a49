// Binds every card command handler into the command table.
#include "cards/card_commands.h"

#include "service/dispatch.h"

namespace lenvaro {

void registerCardCommands(CommandTable& table) {
    registerIdCardCommands(table);
    registerCardReaderCommands(table);
    registerIcCardCommands(table);
}

}  // namespace lenvaro
