// The card subsystem's handler groups, one per file.
#pragma once

namespace lenvaro {

class CommandTable;

// Resident ID card: fields, photo, face images, fingerprint templates.
void registerIdCardCommands(CommandTable& table);
// Social-security, bank and magnetic cards, and the IC card's number.
void registerCardReaderCommands(CommandTable& table);
// The IC card's read, write, PIN, debit and HSM step commands.
void registerIcCardCommands(CommandTable& table);

}  // namespace lenvaro
