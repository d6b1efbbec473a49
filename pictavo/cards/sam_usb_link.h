// Security modules on USB (the common module, 0400:c35a): the same frames as on a serial line,
// sent whole to the bulk OUT endpoint; the reply comes from the bulk IN endpoint one packet at
// a time. Through libusb-1.0 (usbfs): the user needs access to the device (the udev rule of the
// package gives it to the user at the seat).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pictavo/cards/sam_module.h"

namespace pictavo {

inline constexpr uint16_t kSamUsbVendor = 0x0400;
inline constexpr uint16_t kSamUsbProduct = 0xC35A;

// One module's bulk endpoints. Results are libusb's (0, LIBUSB_ERROR_TIMEOUT with what came
// before the time-out in `transferred`, LIBUSB_ERROR_NO_DEVICE once unplugged, ...).
class UsbBulkEndpoints {
  public:
    virtual ~UsbBulkEndpoints() = default;
    virtual int bulkOut(const uint8_t* data, int size, int& transferred, unsigned timeoutMs) = 0;
    virtual int bulkIn(uint8_t* data, int size, int& transferred, unsigned timeoutMs) = 0;
    // The IN endpoint's packet size: reads ask for whole packets, never less.
    virtual int inPacketSize() const = 0;
};

// The link over a module's endpoints.
std::unique_ptr<SamLink> makeUsbSamLink(std::unique_ptr<UsbBulkEndpoints> endpoints);

// Where a module's bulk endpoints are: the first interface setting that has one bulk IN and one
// bulk OUT endpoint.
struct UsbEndpointDescription {
    uint8_t address = 0;     // bit 7 set: IN
    uint8_t attributes = 0;  // bits 0-1: the transfer type, 2 for bulk
    uint16_t maxPacketSize = 0;
};
struct UsbInterfaceDescription {
    uint8_t number = 0;
    uint8_t alternateSetting = 0;
    std::vector<UsbEndpointDescription> endpoints;
};
struct UsbBulkPair {
    uint8_t interfaceNumber = 0;
    uint8_t alternateSetting = 0;
    uint8_t in = 0;
    uint8_t out = 0;
    int inPacketSize = 64;
};
bool findBulkPair(const std::vector<UsbInterfaceDescription>& interfaces, UsbBulkPair& pair);

// The modules on the USB buses now, and opening one.
class UsbSamBus {
  public:
    virtual ~UsbSamBus() = default;
    // One name per module plugged in ("usb:<bus>.<address>"): a module plugged in again gets
    // a new name.
    virtual std::vector<std::string> present() = 0;
    // Null when it cannot be opened (`error` says why, naming the device alone).
    virtual std::unique_ptr<SamLink> open(const std::string& name, std::string& error) = 0;
};

// The computer's USB buses through libusb, started at the first look; it finds nothing where
// libusb cannot start (no USB here).
std::unique_ptr<UsbSamBus> makeLibusbSamBus();

}  // namespace pictavo
