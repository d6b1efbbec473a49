// Recording fake of the capture library: it exports every function of pictavo.h, records
// each call with its arguments, and does what the test programmed (statuses, texts, outputs,
// callbacks, crashes, delays).
//
// In-process, a test programs it through Fake. Across processes (the real executable with this
// library beside it), two environment variables control it, read at the first library call
// (and again after reset()):
//   PICTAVO_FAKE_LOG     file to which every call's str() is appended as one line, unbuffered.
//   PICTAVO_FAKE_SCRIPT  JSON file of outcomes, e.g.
//     { "camGetDevCount": [ {"status": 0, "outInts": [2]} ],
//       "camGetDevName": [ {"text": "Cam A"}, {"text": "Cam B"} ],
//       "camCloseDev": [ {"crash": true} ],
//       "previewStream": {"width": 1920, "height": 1080, "fps": 15} }
//     Each array is a sequence whose last outcome repeats. Outcome keys: status, text, returnsNull,
//     outInts (null entries leave that output untouched), outTexts, outBytes (base64), crash,
//     delayMs. String bytes are taken as they stand in the file, so texts in another code page
//     work when the file holds those bytes. "previewStream" starts a frame stream when a preview
//     callback is registered; camCloseDev and camUnInitCameraLib stop it. What a test programs
//     in-process takes precedence over the script.
// A mistake in the test (unknown function name, an output longer than the caller's buffer, a
// malformed script) prints the reason to stderr and aborts.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "pictavo.h"

namespace pictavo_fake {

// What one call of a library function does. Parts left empty leave the outputs untouched.
struct Outcome {
    int status = 0;                              // returned by int functions
    std::optional<std::string> text;             // returned by const char* functions ("" if none)
    bool returnsNull = false;                    // const char* functions return nullptr
    std::vector<std::optional<int>> outInts;     // into the int* / bool* outputs, in order
    std::vector<std::string> outTexts;           // into the char* buffers, zero-terminated
    std::vector<std::vector<uint8_t>> outBytes;  // into the uint8_t* output buffers
    bool crash = false;                          // raise(SIGSEGV) inside the call
    int delayMs = 0;                             // sleep this long inside the call

    static Outcome returns(int status);
    static Outcome returnsText(std::string text);
    Outcome& withInts(std::vector<std::optional<int>> ints);
    Outcome& withTexts(std::vector<std::string> texts);
    Outcome& withBytes(std::vector<std::vector<uint8_t>> bytes);
    Outcome& crashing();
    Outcome& delayed(int milliseconds);
};

struct Call {
    std::string function;
    std::vector<std::string> args;                 // each argument rendered as in str()
    std::vector<std::vector<uint8_t>> inputBytes;  // copies of the uint8_t* input buffers, in
                                                   // order (empty for a null pointer)
    // E.g. camOpenDev(1, 0, 1920, 1080). Numbers in decimal (floats as %g), texts in double
    // quotes unescaped, null pointers as null, int*/bool* outputs as & and the caller's preset,
    // output buffers as zeroed[N] or dirty[N], input buffers as bytes[N], callbacks as cb.
    std::string str() const;
};

// Process-wide, thread-safe; every function is static.
class Fake {
  public:
    // Forgets calls, programs, callbacks and the script, and stops the preview stream; the
    // environment variables are read again at the next library call.
    static void reset();
    // Every call of function (a name from pictavo.h) has this outcome.
    static void program(const std::string& function, Outcome outcome);
    // Successive calls take successive outcomes; the last one repeats. An empty list unprograms.
    static void programSequence(const std::string& function, std::vector<Outcome> outcomes);
    static std::vector<Call> calls();
    static std::vector<std::string> callLog();                             // str() of every call
    static std::vector<std::string> callLog(const std::string& function);  // that function only
    static void clearCalls();

    // The callbacks as the service last registered them (null when none).
    static PreviewFrameCallback* previewCallback();
    static AutoCaptureCallback* autoCaptureCallback();
    static SignSavedCallback* signSavedCallback();
    // Calls the registered callback on a thread of the fake's own and waits for it; returns the
    // callback's result, or false when none is registered. paint (optional) fills the bottom-up
    // BGR frame before delivery; the default is a mid-grey frame.
    static bool deliverPreviewFrame(
        int width, int height,
        const std::function<void(uint8_t* pixels, int width, int height)>& paint = {});
    static bool deliverAutoCaptureEvent(int event);
    static bool deliverSignSaved(bool saved);
    // Continuous frames to the registered preview callback from a thread of the fake's own until
    // stopped (only stopPreviewStream and reset stop a stream started here). Frames are mid-grey
    // with a white column that moves one pixel per frame.
    static void startPreviewStream(int width, int height, int framesPerSecond);
    static void stopPreviewStream();
};

// Helpers for building outBytes.

// The object representation of a record, e.g. a filled BarcodeResultSet.
template <class Record>
std::vector<uint8_t> bytesOf(const Record& record) {
    static_assert(std::is_trivially_copyable_v<Record>, "records are plain bytes");
    std::vector<uint8_t> bytes(sizeof(Record));
    std::memcpy(bytes.data(), &record, sizeof(Record));
    return bytes;
}

// Writes text as UTF-16LE units at byteOffset of a card record (no terminating unit: the record
// is zero-filled). Aborts when the text does not fit the record.
void putUtf16(std::vector<uint8_t>& record, size_t byteOffset, const std::u16string& text);

}  // namespace pictavo_fake
