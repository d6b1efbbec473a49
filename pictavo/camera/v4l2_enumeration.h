// Finding the video capture nodes of this computer: /sys/class/video4linux for the nodes and
// their USB identity, /dev for the nodes themselves. Everything is read below a root directory
// ("/" normally) so that the tests can point it at a tree of their own.
#pragma once

#include <string>
#include <vector>

#include "pictavo/camera/v4l2_formats.h"
#include "pictavo/camera/v4l2_io.h"

namespace pictavo {

struct V4l2NodeInfo {
    std::string nodeName;     // "video0"
    std::string devicePath;   // <root>/dev/video0
    std::string name;         // the driver's name for the camera (card), else sysfs "name"
    std::string busInfo;      // the driver's bus_info, "" when it could not be asked
    std::string vendorId;     // USB idVendor as four hex digits ("046D"), "" when not USB
    std::string productId;    // USB idProduct
    std::string serial;       // USB serial number, "" when the device has none
    std::string identity;     // stays the same while the device stays plugged into its port
    int openError = 0;        // errno of opening the node (EACCES: no permission), 0 when it opened
    std::vector<V4l2Format> formats;  // empty when the node could not be opened
};

// The capture nodes, ordered by node number. A node that opens is kept when it captures video
// with streaming I/O (metadata and output nodes are not cameras); a node that cannot be opened
// (permission denied) is kept when it is its device's first node, which is the capture node of
// a UVC camera, so the page sees the camera and learns why it cannot be opened.
std::vector<V4l2NodeInfo> findV4l2CaptureNodes(const std::string& root, V4l2Io& io);

// The root the library looks below: $PICTAVO_V4L2_ROOT when set and not empty, else "/".
std::string v4l2Root();

}  // namespace pictavo
