// What a magnetic stripe reader that works as a USB keyboard types, turned back into its
// tracks: key events to characters (US layout), characters of one swipe to tracks 1, 2 and 3.
// No device work here; the readers themselves are in mag_stripe_readers.h.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace pictavo {

// The three tracks of one swipe, without their sentinels; "" for a track the card does not
// carry or the reader could not read.
using MagStripeTracks = std::array<std::string, 3>;

// The character a key types on a US keyboard layout, or '\0' for a key that types none that a
// reader sends (function keys, modifiers). Enter types '\n'. Keypad keys type as with Num Lock.
char usKeyboardCharacter(uint16_t keyCode, bool shift, bool capsLock);

// Splits what one swipe typed into its tracks. Track 1 starts with '%', track 2 with ';', track 3
// with '+' or with a second ';' (or a second '%' on cards that write it like track 1); each ends
// with '?'. Anything outside the tracks (Enter, a check character after '?') is ignored. A
// reader's "E" for a track it could not read leaves that track empty.
//
// Nothing is returned for a swipe that is not a whole card: a track that starts and never ends,
// a sentinel inside a track, a character a track cannot hold, a track longer than `maxTrackLength`,
// or no track with data at all. A page is never handed half a track.
std::optional<MagStripeTracks> splitMagStripeTracks(const std::string& typed,
                                                    size_t maxTrackLength = 199);

// The characters of one swipe as they arrive from one reader, key event by key event.
class MagStripeKeyDecoder {
  public:
    // One EV_KEY event: `value` 1 pressed, 0 released, 2 repeated (ignored: a reader does not
    // hold keys down).
    void key(uint16_t code, int32_t value);
    // After events were lost the modifiers are read back from the device.
    void setModifiers(bool shift, bool capsLock);

    // Events of this swipe were lost (SYN_DROPPED): the swipe can no longer be trusted, and the
    // keys that follow until it ends belong to it all the same.
    void markBroken() { broken_ = true; }
    bool broken() const { return broken_; }
    // Whether a swipe is under way: keys typed, or events lost, since the last take().
    bool inProgress() const { return broken_ || !typed_.empty(); }
    const std::string& typed() const { return typed_; }
    // Ends the swipe: its text, and whether it was broken. Modifiers are kept.
    struct Swipe {
        std::string typed;
        bool broken = false;
    };
    Swipe take();

  private:
    std::string typed_;
    bool broken_ = false;
    bool leftShift_ = false;
    bool rightShift_ = false;
    bool capsLock_ = false;
};

}  // namespace pictavo
