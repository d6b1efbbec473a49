// The keys a US keyboard presses for a text, the way a stripe reader types its tracks; written
// out here by hand, apart from the library's own table, so that the two check each other.
#pragma once

#include <linux/input-event-codes.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace pictavo_test {

struct Keystroke {
    uint16_t code;
    bool shift;
};

inline Keystroke usKeystroke(char c) {
    static const char* const kRows[] = {"1234567890", "qwertyuiop", "asdfghjkl", "zxcvbnm"};
    static const uint16_t kRowStarts[] = {KEY_1, KEY_Q, KEY_A, KEY_Z};
    static const std::string kShiftedDigits = "!@#$%^&*()";
    const char lower = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    for (int row = 0; row < 4; ++row) {
        const std::string keys = kRows[row];
        const size_t at = keys.find(lower);
        if (at != std::string::npos)
            return {static_cast<uint16_t>(kRowStarts[row] + at), c >= 'A' && c <= 'Z'};
    }
    const size_t shiftedDigit = kShiftedDigits.find(c);
    if (shiftedDigit != std::string::npos)
        return {static_cast<uint16_t>(KEY_1 + shiftedDigit), true};
    switch (c) {
        case '-': return {KEY_MINUS, false};
        case '_': return {KEY_MINUS, true};
        case '=': return {KEY_EQUAL, false};
        case '+': return {KEY_EQUAL, true};
        case ';': return {KEY_SEMICOLON, false};
        case ':': return {KEY_SEMICOLON, true};
        case '/': return {KEY_SLASH, false};
        case '?': return {KEY_SLASH, true};
        case ',': return {KEY_COMMA, false};
        case '<': return {KEY_COMMA, true};
        case '.': return {KEY_DOT, false};
        case '>': return {KEY_DOT, true};
        case '[': return {KEY_LEFTBRACE, false};
        case ']': return {KEY_RIGHTBRACE, false};
        case '\\': return {KEY_BACKSLASH, false};
        case '\'': return {KEY_APOSTROPHE, false};
        case ' ': return {KEY_SPACE, false};
        case '\n': return {KEY_ENTER, false};
        default: throw std::invalid_argument(std::string("no US key for '") + c + "'");
    }
}

// The key events (code, value) that type `text`: shift down, key down, key up, shift up.
inline std::vector<std::pair<uint16_t, int32_t>> usKeyEvents(const std::string& text) {
    std::vector<std::pair<uint16_t, int32_t>> events;
    for (const char c : text) {
        const Keystroke key = usKeystroke(c);
        if (key.shift) events.push_back({KEY_LEFTSHIFT, 1});
        events.push_back({key.code, 1});
        events.push_back({key.code, 0});
        if (key.shift) events.push_back({KEY_LEFTSHIFT, 0});
    }
    return events;
}

}  // namespace pictavo_test
