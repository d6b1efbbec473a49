// The ID card readers attached now: security modules on the configured serial ports and on USB.
// Looked at anew at every read, so a reader plugged in while the library runs is found at the
// next read and one unplugged is forgotten.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "pictavo/cards/id_reader_settings.h"
#include "pictavo/cards/sam_module.h"
#include "pictavo/cards/sam_usb_link.h"

namespace pictavo {

using SerialOpener = std::function<std::unique_ptr<SamLink>(const std::string&, std::string&)>;

// Not thread-safe: its owner looks and reads one at a time.
class SamReaders {
  public:
    // A serial port whose device did not answer the status command is asked again after this
    // long (or at once when it is another device now).
    static constexpr std::chrono::seconds kSilentPortRetry{30};

    // `serialPorts`: paths or glob patterns; `usb`: null for none.
    SamReaders(std::vector<std::string> serialPorts, std::unique_ptr<UsbSamBus> usb,
               SerialOpener openSerial, SamTimeouts timeouts = {});

    // The modules attached now, serial ports first: what was plugged in since the last look is
    // opened (a serial port is kept only when its module answers the status command), what
    // went away is forgotten. Bounded by `deadline`.
    std::vector<SamModule*> look(SteadyTime deadline);
    // Whether the last look found any module.
    bool anyAttached() const { return !attached_.empty(); }
    // Forgets a module whose device went away.
    void forget(const SamModule* module);

  private:
    struct Attached {
        std::string name;      // the port's real path, or the USB module's name
        std::string identity;  // which device node it was when opened
        std::unique_ptr<SamModule> module;
    };
    struct SilentPort {
        std::string identity;
        SteadyTime askedAt;
    };

    void lookAtSerialPorts(SteadyTime deadline);
    void lookAtUsb();

    const std::vector<std::string> serialPorts_;
    const std::unique_ptr<UsbSamBus> usb_;
    const SerialOpener openSerial_;
    const SamTimeouts timeouts_;
    std::vector<Attached> attached_;
    std::map<std::string, SilentPort> silentPorts_;
};

// The readers the settings name: the serial ports through termios, USB through libusb.
std::unique_ptr<SamReaders> makeSamReaders(const IdReaderSettings& settings);

}  // namespace pictavo
