// Reply composition: the two JSON reply forms, the marker messages, and integer rendering.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lenvaro {

// The text one reply becomes. Markers by name: "$*$" for binary payloads, "$$$" for the folder
// listing, "$-$" for recognised text; otherwise {"FuncName":"NAME","result":"RESULT"} or, raw,
// {"FuncName":"NAME","result":RESULT}.
// Nothing is escaped, by design: pages parse these texts as the protocol has always sent them,
// and results that already hold JSON (lists, answers) are passed through raw.
std::string composeReply(const std::string& name, const std::string& result, bool raw);

// Signed decimal of the 32-bit value.
std::string intToText(int32_t value);
// The 32-bit value widened with its sign to 64 bits, printed unsigned: -1 gives
// 18446744073709551615.
std::string uintToText(int32_t value);

// ["a","b"]: the items joined by "," inside quotes and brackets, unescaped; no items give [""].
std::string rawList(const std::vector<std::string>& items);

// The text (internal code page) made fit to stand between the quotation marks of a JSON string:
// quotation mark, backslash and control characters escaped (\", \\, \n, \u001f, ...), all else
// as it stands. Character by character: a GBK character ending in the byte of "\" stays whole.
std::string jsonStringContent(const std::string& text);

// A text the capture library returned; null reads as the empty text.
inline std::string libraryText(const char* text) { return text != nullptr ? text : ""; }

}  // namespace lenvaro
