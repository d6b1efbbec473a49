// Finding devices and holding them.
#include "pictavo/registry.h"

#include <iostream>

#include "pictavo/biometrics/fingerprint_settings.h"
#include "pictavo/biometrics/simulated_fingerprint_sensor.h"
#include "pictavo/camera/simulated_camera.h"
#include "pictavo/camera/v4l2_camera_scanner.h"
#include "pictavo/camera/v4l2_enumeration.h"
#include "pictavo/cards/card_settings.h"
#include "pictavo/cards/mag_stripe_readers.h"
#ifdef PICTAVO_WITH_PCSC
#include "pictavo/cards/pcsc_card_access.h"
#endif
#include "pictavo/cards/sam_id_card_reader.h"
#include "pictavo/cards/simulated_card_reader.h"
#include "pictavo/cards/simulated_ic_card_reader.h"
#include "pictavo/signpad/simulated_sign_pad.h"
#include "pictavo/status.h"

namespace pictavo {

Devices findDevices(const Config& config) {
    // Each family adds its finder here, guarded by config.familyEnabled(<family>): real devices
    // first (V4L2 cameras, ...), then the simulated ones the configuration describes.
    Devices devices;
    // Real (V4L2) cameras are scanned for on every device count and listed first; the simulated
    // ones follow unless the configuration turns them off.
    if (config.familyEnabled("camera")) {
        devices.previewWidth = config.cameraSettings().previewWidth;
        if (config.cameraSettings().real)
            devices.cameraScanner = makeV4l2Scanner(v4l2Root(), systemV4l2Io());
        std::vector<std::string> problems;
        for (auto& camera : makeSimulatedCameras(config.cameraSettings(), problems))
            devices.cameras.push_back(std::move(camera));
        for (const std::string& problem : problems) std::cerr << "pictavo: " << problem << "\n";
    }
    // No signature pad can be reached on this system; the simulated one stands in unless the
    // configuration turns it off.
    if (config.familyEnabled("signpad")) {
        const SignPadSettings signPad = config.signPadSettings();
        if (signPad.simulated) devices.signPad = std::make_unique<SimulatedSignPad>(signPad);
    }
    // The simulated card readers, with the configured (or sample) cards on them, unless the
    // configuration turns them off; the computer's smart card readers (PC/SC) in front of them.
    if (config.familyEnabled("cards")) {
        CardSettings cards = sampleCards();
        const bool usable =
            !config.document.isMember("cards") ||
            readCardSettings(config.document["cards"], config.directory, cards).empty();
        if (usable && cards.simulated) {
            devices.icCardReader =
                std::make_unique<SimulatedIcCardReader>(cards.icCard, cards.terminal);
            devices.cardReader = std::make_unique<SimulatedCardReader>(cards);
        }
#ifdef PICTAVO_WITH_PCSC
        if (usable && cards.pcsc) {
            putSmartCardReadersInFront(cards.terminal, devices.cardReader, devices.icCardReader);
        }
#endif
        // ID card readers (security modules on serial ports and USB) answer for the ID card
        // once one is attached; they are looked for at every read.
        const IdReaderSettings& idReader = cards.idReader;
        if (usable && (idReader.usb || !idReader.serialPorts.empty())) {
            devices.cardReader = std::make_unique<SamIdCardReader>(
                makeSamReaders(idReader), idReader.photoDecoder,
                orNone<NoCardReader>(std::move(devices.cardReader)));
        }
        // Magnetic stripe readers (USB keyboards) answer for the magnetic card once one is
        // attached; they are watched from now on, so a swipe is never typed into a window.
        if (usable && !cards.magStripe.readers.empty()) {
            devices.cardReader = std::make_unique<MagStripeCardReader>(
                orNone<NoCardReader>(std::move(devices.cardReader)),
                std::make_unique<MagStripeReaders>(cards.magStripe));
        }
    }
    // No fingerprint sensor can be reached on this system; the simulated one, with the configured
    // (or default) fingers, stands in unless the configuration turns it off.
    if (config.familyEnabled("biometrics")) {
        FingerprintSettings fingerprint;
        const bool usable = !config.document.isMember("fingerprint") ||
                            readFingerprintSettings(config.document["fingerprint"], fingerprint)
                                .empty();
        if (usable && fingerprint.simulated) {
            devices.fingerprintSensor =
                std::make_unique<SimulatedFingerprintSensor>(std::move(fingerprint));
        }
    }
    return devices;
}

Registry::Registry(Devices devices)
    : cameras_(std::move(devices.cameras), std::move(devices.cameraScanner),
               devices.previewWidth),
      cardReader_(orNone<NoCardReader>(std::move(devices.cardReader))),
      icCardReader_(orNone<NoIcCardReader>(std::move(devices.icCardReader))),
      fingerprintSensor_(orNone<NoFingerprintSensor>(std::move(devices.fingerprintSensor))),
      signPadAttached_(devices.signPad != nullptr),
      signPad_(orNone<NoSignPad>(std::move(devices.signPad))) {
    // A pad that saves by itself reports it through the callback the service registered.
    signPad_->setSavedListener([this](bool saved) { deliverSignSaved(saved); });
}

Registry::~Registry() { signPad_.reset(); }

int Registry::setSignSavedCallback(SignSavedCallback* callback) {
    if (!signPadAttached_) return kNoDevice;
    signSaved_.store(callback);
    return kOk;
}

bool Registry::deliverSignSaved(bool saved) {
    SignSavedCallback* callback = signSaved_.load();
    if (callback == nullptr) return false;
    callback(saved);
    return true;
}

}  // namespace pictavo
