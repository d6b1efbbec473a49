// Key events to characters, characters to tracks.
#include "pictavo/cards/mag_stripe_decoder.h"

#include <linux/input-event-codes.h>

#include <cctype>

namespace pictavo {
namespace {

// The keys of the main block that type a character, each with its unshifted and shifted form.
struct KeyCharacters {
    uint16_t code;
    char plain;
    char shifted;
};
constexpr KeyCharacters kMainKeys[] = {
    {KEY_1, '1', '!'},         {KEY_2, '2', '@'},          {KEY_3, '3', '#'},
    {KEY_4, '4', '$'},         {KEY_5, '5', '%'},          {KEY_6, '6', '^'},
    {KEY_7, '7', '&'},         {KEY_8, '8', '*'},          {KEY_9, '9', '('},
    {KEY_0, '0', ')'},         {KEY_MINUS, '-', '_'},      {KEY_EQUAL, '=', '+'},
    {KEY_LEFTBRACE, '[', '{'}, {KEY_RIGHTBRACE, ']', '}'}, {KEY_SEMICOLON, ';', ':'},
    {KEY_APOSTROPHE, '\'', '"'}, {KEY_GRAVE, '`', '~'},    {KEY_BACKSLASH, '\\', '|'},
    {KEY_COMMA, ',', '<'},     {KEY_DOT, '.', '>'},        {KEY_SLASH, '/', '?'},
    {KEY_SPACE, ' ', ' '},
};
// Letters in the order of the alphabet; their key codes follow the keyboard's rows.
constexpr uint16_t kLetterKeys[26] = {
    KEY_A, KEY_B, KEY_C, KEY_D, KEY_E, KEY_F, KEY_G, KEY_H, KEY_I, KEY_J, KEY_K, KEY_L, KEY_M,
    KEY_N, KEY_O, KEY_P, KEY_Q, KEY_R, KEY_S, KEY_T, KEY_U, KEY_V, KEY_W, KEY_X, KEY_Y, KEY_Z,
};
constexpr KeyCharacters kKeypadKeys[] = {
    {KEY_KP0, '0', '0'},     {KEY_KP1, '1', '1'},        {KEY_KP2, '2', '2'},
    {KEY_KP3, '3', '3'},     {KEY_KP4, '4', '4'},        {KEY_KP5, '5', '5'},
    {KEY_KP6, '6', '6'},     {KEY_KP7, '7', '7'},        {KEY_KP8, '8', '8'},
    {KEY_KP9, '9', '9'},     {KEY_KPMINUS, '-', '-'},    {KEY_KPPLUS, '+', '+'},
    {KEY_KPASTERISK, '*', '*'}, {KEY_KPSLASH, '/', '/'}, {KEY_KPDOT, '.', '.'},
    {KEY_KPEQUAL, '=', '='},
};

// What a track may hold between its sentinels: tracks written like track 1 the 6-bit alphabet
// (space to '_'), the others the 4-bit one ('0' to '>'); sentinels never. A ';' in track 1 is
// the next track's start: the end of track 1 was lost.
bool trackCharacter(bool sixBit, char c) {
    if (c == '?') return false;
    if (sixBit) return c >= ' ' && c <= '_' && c != '%' && c != ';';
    return c >= '0' && c <= '>' && c != ';';
}

}  // namespace

char usKeyboardCharacter(uint16_t keyCode, bool shift, bool capsLock) {
    for (int i = 0; i < 26; ++i) {
        if (kLetterKeys[i] == keyCode) {
            const char lower = static_cast<char>('a' + i);
            return shift != capsLock ? static_cast<char>(std::toupper(lower)) : lower;
        }
    }
    for (const KeyCharacters& key : kMainKeys) {
        if (key.code == keyCode) return shift ? key.shifted : key.plain;
    }
    for (const KeyCharacters& key : kKeypadKeys) {
        if (key.code == keyCode) return key.plain;
    }
    if (keyCode == KEY_ENTER || keyCode == KEY_KPENTER) return '\n';
    return '\0';
}

std::optional<MagStripeTracks> splitMagStripeTracks(const std::string& typed,
                                                    size_t maxTrackLength) {
    MagStripeTracks tracks;
    bool seen[3] = {false, false, false};
    int inside = 0;  // the track being read, 1 to 3; 0 between tracks
    bool sixBit = false;  // it started with '%'
    std::string current;
    bool anyData = false;
    for (const char c : typed) {
        if (inside == 0) {
            int start = 0;
            if (c == '%') start = !seen[0] && !seen[1] && !seen[2] ? 1 : 3;
            if (c == ';') start = !seen[1] && !seen[2] ? 2 : 3;
            if (c == '+') start = 3;
            if (start == 0) continue;  // Enter, a check character, a reader's own prefix
            if (seen[start - 1]) return std::nullopt;  // the same track twice: two swipes mixed
            inside = start;
            sixBit = c == '%';
            current.clear();
            continue;
        }
        if (c == '?') {
            seen[inside - 1] = true;
            // "E" (or "e") is how readers say they could not read the track.
            if (current != "E" && current != "e") {
                tracks[static_cast<size_t>(inside - 1)] = current;
                anyData = anyData || !current.empty();
            }
            inside = 0;
            continue;
        }
        // A sentinel or line end inside a track means characters were lost. The one letter a
        // 4-bit track may show is the reader's "E", alone.
        const bool errorMark = current.empty() && (c == 'E' || c == 'e');
        const bool afterErrorMark = !sixBit && (current == "E" || current == "e");
        if ((!errorMark && !trackCharacter(sixBit, c)) || afterErrorMark ||
            current.size() >= maxTrackLength)
            return std::nullopt;
        current.push_back(c);
    }
    if (inside != 0 || !anyData) return std::nullopt;
    return tracks;
}

void MagStripeKeyDecoder::key(uint16_t code, int32_t value) {
    if (code == KEY_LEFTSHIFT) leftShift_ = value != 0;
    if (code == KEY_RIGHTSHIFT) rightShift_ = value != 0;
    if (value != 1) return;
    if (code == KEY_CAPSLOCK) capsLock_ = !capsLock_;
    const char c = usKeyboardCharacter(code, leftShift_ || rightShift_, capsLock_);
    if (c != '\0') typed_.push_back(c);
}

void MagStripeKeyDecoder::setModifiers(bool shift, bool capsLock) {
    leftShift_ = shift;
    rightShift_ = false;
    capsLock_ = capsLock;
}

MagStripeKeyDecoder::Swipe MagStripeKeyDecoder::take() {
    Swipe swipe{std::move(typed_), broken_};
    typed_.clear();
    broken_ = false;
    return swipe;
}

}  // namespace pictavo
