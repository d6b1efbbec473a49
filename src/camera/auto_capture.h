// The auto-capture callback and the names of the files it writes.
#pragma once

#include <cstdint>
#include <string>

namespace lenvaro {

// The template with the number put before the extension of its file name:
// "D:\scan\page.jpg" and 3 give "D:\scan\page3.jpg"; "/a/b" and 1 give "/a/b1".
std::string numberedCapturePath(const std::string& pathTemplate, int32_t number);

// The callback "camStartAutoCapture" hands to the library. Pushes "AutoCaptureBack" with the
// event value; when the value is the armed one and a page is connected, captures the next
// numbered file and pushes "0". True when it captured.
bool onAutoCapture(int event);

}  // namespace lenvaro
