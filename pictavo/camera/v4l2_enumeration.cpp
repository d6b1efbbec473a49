// Enumeration of V4L2 capture nodes through sysfs and /dev.
#include "pictavo/camera/v4l2_enumeration.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "pictavo/device_files.h"

namespace pictavo {
namespace {

namespace fs = std::filesystem;

std::string upperHex(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// Keeps what the C interface's 32-byte buffers and the page can carry: printable ASCII.
std::string printable(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7f)
            out.push_back(c);
    }
    return out;
}

std::string fixedText(const uint8_t* bytes, size_t size) {
    return std::string(reinterpret_cast<const char*>(bytes), strnlen(reinterpret_cast<const char*>(bytes), size));
}

// Walks up from the node's device (a USB interface) to the USB device that carries idVendor,
// staying inside the sysfs tree.
void readUsbIdentity(const fs::path& classEntry, const fs::path& sysRoot, V4l2NodeInfo& node,
                     std::string& devicePlace) {
    std::error_code error;
    fs::path device = fs::canonical(classEntry / "device", error);
    if (error) return;
    devicePlace = device.string();
    const fs::path root = fs::weakly_canonical(sysRoot, error);
    for (int level = 0; level < 4 && !device.empty(); ++level) {
        const std::string relative = device.lexically_relative(root).string();
        if (relative.empty() || relative.rfind("..", 0) == 0) return;
        if (fs::exists(device / "idVendor", error)) {
            node.vendorId = upperHex(printable(readSysfsAttribute(device / "idVendor")));
            node.productId = upperHex(printable(readSysfsAttribute(device / "idProduct")));
            node.serial = printable(readSysfsAttribute(device / "serial"));
            return;
        }
        device = device.parent_path();
    }
}

}  // namespace

std::string v4l2Root() {
    const char* root = std::getenv("PICTAVO_V4L2_ROOT");
    return root != nullptr && *root != '\0' ? root : "/";
}

std::vector<V4l2NodeInfo> findV4l2CaptureNodes(const std::string& root, V4l2Io& io) {
    std::vector<V4l2NodeInfo> found;
    const fs::path sysRoot = fs::path(root) / "sys";
    const fs::path classDir = sysRoot / "class" / "video4linux";
    std::error_code error;
    std::vector<std::pair<int, std::string>> names;
    for (fs::directory_iterator it(classDir, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        const int number = deviceNodeNumber(name, "video");
        if (number >= 0) names.emplace_back(number, name);
    }
    std::sort(names.begin(), names.end());

    for (const auto& entry : names) {
        const fs::path classEntry = classDir / entry.second;
        V4l2NodeInfo node;
        node.nodeName = entry.second;
        node.devicePath = (fs::path(root) / "dev" / entry.second).string();
        node.name = printable(readSysfsAttribute(classEntry / "name"));
        std::string devicePlace;
        readUsbIdentity(classEntry, sysRoot, node, devicePlace);

        int openError = 0;
        std::unique_ptr<V4l2Handle> handle = io.open(node.devicePath, openError);
        if (!handle) {
            // The node vanished between the listing and now, or is not a device at all.
            if (openError == ENOENT || openError == ENODEV || openError == ENXIO) continue;
            // Unopenable nodes are listed when they are their device's first node.
            const std::string index = readSysfsAttribute(classEntry / "index");
            if (!index.empty() && index != "0") continue;
            node.openError = openError;
        } else {
            v4l2_capability capability{};
            if (handle->control(VIDIOC_QUERYCAP, &capability) != 0) continue;
            const uint32_t caps = (capability.capabilities & V4L2_CAP_DEVICE_CAPS) != 0
                                      ? capability.device_caps
                                      : capability.capabilities;
            if ((caps & V4L2_CAP_VIDEO_CAPTURE) == 0 || (caps & V4L2_CAP_STREAMING) == 0)
                continue;
            const std::string card = printable(fixedText(capability.card, sizeof capability.card));
            if (!card.empty()) node.name = card;
            node.busInfo = printable(fixedText(capability.bus_info, sizeof capability.bus_info));
            node.formats = queryFormats(*handle);
        }
        if (node.name.empty()) node.name = entry.second;
        node.identity = entry.second + "|" + devicePlace + "|" + node.name + "|" + node.serial;
        found.push_back(std::move(node));
    }
    return found;
}

}  // namespace pictavo
