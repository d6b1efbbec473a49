// A security module on a serial line (many readers show up as a USB serial port, /dev/ttyUSB*
// or /dev/ttyACM*): 115200 baud, 8 data bits, no parity, one stop bit, raw.
#pragma once

#include <memory>
#include <string>

#include "pictavo/cards/sam_module.h"

namespace pictavo {

// Opens `path` and sets the line up; null when it is no terminal or cannot be opened (`error`
// then says why, naming the path alone). While open, no other program may open the port.
std::unique_ptr<SamLink> openSerialSamLink(const std::string& path, std::string& error);

}  // namespace pictavo
