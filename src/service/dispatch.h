// Command dispatch: the one table of every command name the protocol knows, with its group and
// the handler that serves it, and the single request entry.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace lenvaro {

class CommandService;

// Where a name stood in the original routing. Names are disjoint, so the group does not change
// which handler runs; it tells which device index a handler uses (the second table's own) and
// keeps the table readable against the protocol's list.
enum class CommandGroup { Preamble, SecondTable, Main };

using CommandHandler = void (*)(CommandService&);

struct CommandEntry {
    std::string_view name;
    CommandGroup group;
    CommandHandler handler;  // null: known name whose handler is not built yet (answered by silence)
};

class CommandTable {
public:
    // The full table, with every subsystem's handlers bound.
    static const CommandTable& instance();

    const std::vector<CommandEntry>& entries() const { return entries_; }
    // Exact, case-sensitive, byte-for-byte lookup; null for a name in no table.
    const CommandEntry* find(std::string_view name) const;

    // Binds a handler to a protocol name. Binding an unknown name, or one name twice, is a
    // programming error and aborts at start-up.
    void bind(std::string_view name, CommandHandler handler);

private:
    CommandTable();
    std::vector<CommandEntry> entries_;
};

// Each subsystem binds its handlers (defined in its own folder).
void registerCameraCommands(CommandTable& table);
void registerCardCommands(CommandTable& table);
void registerBiometricCommands(CommandTable& table);
void registerRecognitionCommands(CommandTable& table);
void registerSignpadCommands(CommandTable& table);
void registerFileCommands(CommandTable& table);

// Handles one request text (UTF-8, as received): parses it, runs the handler of its
// "FuncName" and lets that handler reply. Texts that are not JSON objects and unknown names get
// no answer. Never throws.
void handleRequest(CommandService& service, std::string text);

}  // namespace lenvaro
