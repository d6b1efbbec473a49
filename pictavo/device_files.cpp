// Reading device descriptions from /sys and node names from /dev.
#include "pictavo/device_files.h"

#include <cctype>
#include <fstream>

namespace pictavo {

std::string readSysfsAttribute(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line)) return "";
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
    if (line.size() > 256) line.resize(256);
    return line;
}

int deviceNodeNumber(const std::string& name, const std::string& prefix) {
    if (name.rfind(prefix, 0) != 0 || name.size() == prefix.size() || name.size() > prefix.size() + 5)
        return -1;
    int number = 0;
    for (size_t i = prefix.size(); i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) return -1;
        number = number * 10 + (name[i] - '0');
    }
    return number;
}

}  // namespace pictavo
