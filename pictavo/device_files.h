// Small readers of the files the kernel describes devices with (/sys and /dev), shared by the
// device families that look for real hardware.
#pragma once

#include <filesystem>
#include <string>

namespace pictavo {

// The first line of a small sysfs attribute, without trailing white space and at most 256 bytes;
// "" when it is missing.
std::string readSysfsAttribute(const std::filesystem::path& file);

// The number of a device node named `prefix` and up to five digits ("video12", "event3"); -1 for
// any other name.
int deviceNodeNumber(const std::string& name, const std::string& prefix);

}  // namespace pictavo
