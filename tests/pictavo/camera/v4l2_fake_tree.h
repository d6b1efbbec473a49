// A fake sysfs and /dev tree with V4L2 nodes, for the enumeration and hot-plug tests: each node
// gets its class entry (name, index, a `device` link into a USB device) and a /dev file, and a
// scripted device in the fake io.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "../temp_dir.h"
#include "v4l2_fake_device.h"

namespace pictavo_test {

class FakeV4l2Tree {
  public:
    FakeV4l2Tree() : io(std::make_shared<FakeV4l2Io>()) {}

    std::string root() const { return dir.path().string(); }

    // Adds /dev/<node> with its class entry. `usbPort` names the USB device ("1-1"); the node's
    // device is that device's first interface. `index` is the node's number on its device.
    std::shared_ptr<FakeV4l2Device> add(const std::string& node, const std::string& name,
                                        const std::string& usbPort, int index = 0) {
        namespace fs = std::filesystem;
        const std::string usb = "sys/devices/pci0000:00/0000:00:14.0/usb1/" + usbPort;
        dir.write(usb + "/idVendor", "046d\n");
        dir.write(usb + "/idProduct", "0825\n");
        dir.write(usb + "/serial", "SN-" + usbPort + "\n");
        fs::create_directories(dir.path() / usb / (usbPort + ":1.0"));
        const std::string entry = "sys/class/video4linux/" + node;
        dir.write(entry + "/name", name + "\n");
        dir.write(entry + "/index", std::to_string(index) + "\n");
        fs::create_symlink(fs::path("../../../devices/pci0000:00/0000:00:14.0/usb1") / usbPort /
                               (usbPort + ":1.0"),
                           dir.path() / entry / "device");
        const std::string devicePath = dir.write("dev/" + node, "");
        auto device = std::make_shared<FakeV4l2Device>();
        device->card = name;
        std::lock_guard<std::mutex> lock(io->mutex_);
        io->devices[devicePath] = device;
        return device;
    }

    // The node disappears as it does when its camera is unplugged.
    void remove(const std::string& node) {
        namespace fs = std::filesystem;
        fs::remove_all(dir.path() / "sys/class/video4linux" / node);
        const std::string devicePath = dir.file("dev/" + node);
        fs::remove(devicePath);
        std::lock_guard<std::mutex> lock(io->mutex_);
        const auto it = io->devices.find(devicePath);
        if (it != io->devices.end()) {
            it->second->unplug();
            io->devices.erase(it);
        }
    }

    void refuse(const std::string& node, int error) {
        std::lock_guard<std::mutex> lock(io->mutex_);
        io->errors[dir.file("dev/" + node)] = error;
    }
    void allow(const std::string& node) {
        std::lock_guard<std::mutex> lock(io->mutex_);
        io->errors.erase(dir.file("dev/" + node));
    }

    TempDir dir;
    std::shared_ptr<FakeV4l2Io> io;
};

inline void giveFormats(FakeV4l2Device& device) {
    device.formats = {
        {V4L2_PIX_FMT_MJPEG, {{640, 480}, {1920, 1080}, {1280, 720}}},
        {V4L2_PIX_FMT_YUYV, {{640, 480}, {320, 240}}},
    };
}

}  // namespace pictavo_test
