// The sound input devices a recording could take its sound from.
#pragma once

#include <string>
#include <vector>

namespace pictavo {

// The name the library gives the simulated microphone, listed when the system shows none.
inline constexpr const char* kSimulatedMicrophone = "Simulated microphone (silence)";

// Capture devices from an ALSA device list in the format of /proc/asound/pcm ("00-00: name :
// description : playback 1 : capture 1"), as "description (hw:card,device)".
std::vector<std::string> parseAlsaCaptureDevices(const std::string& pcmList);

// The system's capture devices (/proc/asound/pcm), or the simulated microphone alone when there
// are none.
std::vector<std::string> listAudioDevices();

}  // namespace pictavo
