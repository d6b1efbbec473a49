// The statuses every entry point of the library returns: 0 for success, a negative value for
// each kind of failure. README.md lists what each function returns today. Plain ints rather than
// an enum, because they travel through the C interface as int and mix with device answers.
#pragma once

namespace pictavo {

// The work was done.
inline constexpr int kOk = 0;
// A device or engine tried and failed (a read error, a refused command).
inline constexpr int kFailed = -1;
// A null pointer, an empty path, or an index outside a list the library reports.
inline constexpr int kInvalidArgument = -2;
// No device answers to that index, or the family has no device attached.
inline constexpr int kNoDevice = -3;
// The library has no implementation of this work on this computer.
inline constexpr int kNotSupported = -4;
// A file could not be found, read, written or removed.
inline constexpr int kFileError = -5;
// An unexpected fault inside the library (an exception, including running out of memory) that
// was stopped at the C boundary.
inline constexpr int kInternalError = -6;
// A face engine found no face in a picture it was given to compare.
inline constexpr int kNoFace = -7;

}  // namespace pictavo
