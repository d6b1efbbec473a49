// Listing sound input devices from ALSA's device list.
#include "pictavo/camera/audio_devices.h"

#include <fstream>
#include <sstream>

namespace pictavo {
namespace {

std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    const size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

}  // namespace

std::vector<std::string> parseAlsaCaptureDevices(const std::string& pcmList) {
    std::vector<std::string> devices;
    std::istringstream lines(pcmList);
    for (std::string line; std::getline(lines, line);) {
        // "CC-DD: id : name : playback N : capture N", capture only where the line says so.
        std::vector<std::string> fields;
        std::istringstream parts(line);
        for (std::string field; std::getline(parts, field, ':');) fields.push_back(trimmed(field));
        if (fields.size() < 3 || fields[0].size() != 5 || fields[0][2] != '-') continue;
        bool capture = false;
        for (size_t i = 3; i < fields.size(); ++i)
            capture = capture || fields[i].rfind("capture", 0) == 0;
        if (!capture) continue;
        const int card = std::atoi(fields[0].substr(0, 2).c_str());
        const int device = std::atoi(fields[0].substr(3, 2).c_str());
        const std::string& name = fields[2].empty() ? fields[1] : fields[2];
        devices.push_back(name + " (hw:" + std::to_string(card) + "," + std::to_string(device) +
                          ")");
    }
    return devices;
}

std::vector<std::string> listAudioDevices() {
    std::ifstream file("/proc/asound/pcm");
    std::ostringstream text;
    if (file) text << file.rdbuf();
    std::vector<std::string> devices = parseAlsaCaptureDevices(text.str());
    if (devices.empty()) devices.push_back(kSimulatedMicrophone);
    return devices;
}

}  // namespace pictavo
