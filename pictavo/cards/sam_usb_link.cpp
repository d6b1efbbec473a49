// The USB transport of the security module: packets to frames, and libusb underneath.
#include "pictavo/cards/sam_usb_link.h"

#include <libusb.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <utility>

namespace pictavo {
namespace {

constexpr uint8_t kEndpointIn = 0x80;
constexpr uint8_t kTransferTypeMask = 0x03;
constexpr uint8_t kBulk = 0x02;

unsigned millisecondsUntil(SteadyTime deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() <= 0 ? 0 : static_cast<unsigned>(left.count());
}

class UsbSamLink final : public SamLink {
  public:
    explicit UsbSamLink(std::unique_ptr<UsbBulkEndpoints> endpoints)
        : endpoints_(std::move(endpoints)) {}

    bool send(const Bytes& frame, SteadyTime deadline) override {
        const unsigned timeout = millisecondsUntil(deadline);
        if (gone_ || timeout == 0) return false;  // libusb takes 0 as "wait for ever"
        int transferred = 0;
        const int result = endpoints_->bulkOut(frame.data(), static_cast<int>(frame.size()),
                                               transferred, timeout);
        note(result);
        return result == 0 && transferred == static_cast<int>(frame.size());
    }

    void receive(Bytes& received, SteadyTime deadline) override {
        const unsigned timeout = millisecondsUntil(deadline);
        if (gone_ || timeout == 0) return;
        Bytes packet(static_cast<size_t>(std::max(endpoints_->inPacketSize(), 1)));
        int transferred = 0;
        note(endpoints_->bulkIn(packet.data(), static_cast<int>(packet.size()), transferred, timeout));
        if (transferred > 0) received.insert(received.end(), packet.begin(), packet.begin() + transferred);
    }

    void discardInput() override {
        // Whatever is still queued comes at once; a packet a millisecond away is a late reply
        // too, and is dropped with the rest. Bounded, for a device that never stops talking.
        Bytes packet(static_cast<size_t>(std::max(endpoints_->inPacketSize(), 1)));
        for (int i = 0; i < 64 && !gone_; ++i) {
            int transferred = 0;
            note(endpoints_->bulkIn(packet.data(), static_cast<int>(packet.size()), transferred, 1));
            if (transferred <= 0) break;
        }
    }

    bool gone() const override { return gone_; }

  private:
    void note(int result) {
        if (result == LIBUSB_ERROR_NO_DEVICE) gone_ = true;
    }

    const std::unique_ptr<UsbBulkEndpoints> endpoints_;
    bool gone_ = false;
};

// A claimed interface of an open device; released and closed with the object.
class LibusbEndpoints final : public UsbBulkEndpoints {
  public:
    LibusbEndpoints(libusb_device_handle* handle, UsbBulkPair pair) : handle_(handle), pair_(pair) {}
    ~LibusbEndpoints() override {
        libusb_release_interface(handle_, pair_.interfaceNumber);
        libusb_close(handle_);
    }
    LibusbEndpoints(const LibusbEndpoints&) = delete;
    LibusbEndpoints& operator=(const LibusbEndpoints&) = delete;

    int bulkOut(const uint8_t* data, int size, int& transferred, unsigned timeoutMs) override {
        return libusb_bulk_transfer(handle_, pair_.out, const_cast<uint8_t*>(data), size,
                                    &transferred, timeoutMs);
    }
    int bulkIn(uint8_t* data, int size, int& transferred, unsigned timeoutMs) override {
        return libusb_bulk_transfer(handle_, pair_.in, data, size, &transferred, timeoutMs);
    }
    int inPacketSize() const override { return pair_.inPacketSize; }

  private:
    libusb_device_handle* const handle_;
    const UsbBulkPair pair_;
};

std::string nameOf(libusb_device* device) {
    char name[32];
    std::snprintf(name, sizeof name, "usb:%u.%u", libusb_get_bus_number(device),
                  libusb_get_device_address(device));
    return name;
}

bool isModule(libusb_device* device) {
    libusb_device_descriptor descriptor{};
    return libusb_get_device_descriptor(device, &descriptor) == 0 &&
           descriptor.idVendor == kSamUsbVendor && descriptor.idProduct == kSamUsbProduct;
}

std::vector<UsbInterfaceDescription> interfacesOf(const libusb_config_descriptor& config) {
    std::vector<UsbInterfaceDescription> interfaces;
    for (int i = 0; i < config.bNumInterfaces; ++i) {
        const libusb_interface& interface = config.interface[i];
        for (int s = 0; s < interface.num_altsetting; ++s) {
            const libusb_interface_descriptor& setting = interface.altsetting[s];
            UsbInterfaceDescription description;
            description.number = setting.bInterfaceNumber;
            description.alternateSetting = setting.bAlternateSetting;
            for (int e = 0; e < setting.bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
                description.endpoints.push_back(
                    {endpoint.bEndpointAddress, endpoint.bmAttributes, endpoint.wMaxPacketSize});
            }
            interfaces.push_back(std::move(description));
        }
    }
    return interfaces;
}

// One libusb context for the library's life, started at the first look (libusb starts a
// thread of its own to follow hot plugging).
class LibusbSamBus final : public UsbSamBus {
  public:
    ~LibusbSamBus() override {
        if (context_ != nullptr) libusb_exit(context_);
    }

    std::vector<std::string> present() override {
        std::vector<std::string> names;
        forEachModule([&](libusb_device* device) {
            names.push_back(nameOf(device));
            return false;
        });
        return names;
    }

    std::unique_ptr<SamLink> open(const std::string& name, std::string& error) override {
        std::unique_ptr<SamLink> link;
        error = name + ": unplugged";
        forEachModule([&](libusb_device* device) {
            if (nameOf(device) != name) return false;
            link = openModule(device, name, error);
            return true;
        });
        return link;
    }

  private:
    // Calls `visit` on each module until it returns true.
    template <class Visit>
    void forEachModule(Visit visit) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!started_) {
            started_ = true;
            if (libusb_init(&context_) != 0) context_ = nullptr;
        }
        if (context_ == nullptr) return;
        libusb_device** devices = nullptr;
        const ssize_t count = libusb_get_device_list(context_, &devices);
        for (ssize_t i = 0; i < count; ++i) {
            if (isModule(devices[i]) && visit(devices[i])) break;
        }
        if (count >= 0) libusb_free_device_list(devices, 1);
    }

    static std::unique_ptr<SamLink> openModule(libusb_device* device, const std::string& name,
                                               std::string& error) {
        libusb_config_descriptor* config = nullptr;
        UsbBulkPair pair;
        const int described = libusb_get_active_config_descriptor(device, &config);
        const bool found = described == 0 && findBulkPair(interfacesOf(*config), pair);
        if (config != nullptr) libusb_free_config_descriptor(config);
        if (!found) {
            error = name + ": no bulk endpoints";
            return nullptr;
        }
        libusb_device_handle* handle = nullptr;
        if (const int opened = libusb_open(device, &handle); opened != 0) {
            error = name + ": " + libusb_strerror(static_cast<libusb_error>(opened)) +
                    (opened == LIBUSB_ERROR_ACCESS ? " (see the udev rule for ID card readers)" : "");
            return nullptr;
        }
        libusb_set_auto_detach_kernel_driver(handle, 1);
        int claimed = libusb_claim_interface(handle, pair.interfaceNumber);
        if (claimed == 0 && pair.alternateSetting != 0) {
            claimed = libusb_set_interface_alt_setting(handle, pair.interfaceNumber,
                                                       pair.alternateSetting);
        }
        if (claimed != 0) {
            error = name + ": " + libusb_strerror(static_cast<libusb_error>(claimed));
            libusb_close(handle);
            return nullptr;
        }
        return makeUsbSamLink(std::make_unique<LibusbEndpoints>(handle, pair));
    }

    std::mutex mutex_;
    bool started_ = false;
    libusb_context* context_ = nullptr;
};

}  // namespace

std::unique_ptr<SamLink> makeUsbSamLink(std::unique_ptr<UsbBulkEndpoints> endpoints) {
    return std::make_unique<UsbSamLink>(std::move(endpoints));
}

bool findBulkPair(const std::vector<UsbInterfaceDescription>& interfaces, UsbBulkPair& pair) {
    for (const UsbInterfaceDescription& interface : interfaces) {
        const UsbEndpointDescription* in = nullptr;
        const UsbEndpointDescription* out = nullptr;
        for (const UsbEndpointDescription& endpoint : interface.endpoints) {
            if ((endpoint.attributes & kTransferTypeMask) != kBulk) continue;
            const UsbEndpointDescription*& slot = (endpoint.address & kEndpointIn) ? in : out;
            if (slot == nullptr) slot = &endpoint;
        }
        if (in == nullptr || out == nullptr) continue;
        pair.interfaceNumber = interface.number;
        pair.alternateSetting = interface.alternateSetting;
        pair.in = in->address;
        pair.out = out->address;
        // Packet sizes of 0 or beyond the largest a bulk endpoint has are the descriptor's
        // mistake; full speed's 64 is what these modules use.
        const int size = in->maxPacketSize & 0x7FF;
        pair.inPacketSize = size > 0 ? size : 64;
        return true;
    }
    return false;
}

std::unique_ptr<UsbSamBus> makeLibusbSamBus() { return std::make_unique<LibusbSamBus>(); }

}  // namespace pictavo
