// A time-stamped file name in the user's documents folder.
#pragma once

#include <cstdint>
#include <string>

namespace lenvaro {

// documents folder + "/" + the tick count as a signed decimal + "." + suffix. The suffix is
// appended as it is: ".bmp" gives names like "700..bmp", which pages and stored files expect.
// The documents folder is created when missing.
std::string documentsTickPath(const std::string& suffix);

// The same name for a given folder and tick count.
std::string tickFilePath(const std::string& folder, uint32_t tick, const std::string& suffix);

}  // namespace lenvaro
