// Finding V4L2 cameras in a fake sysfs and /dev tree, and reading their formats and sizes.
#include <gtest/gtest.h>

#include "pictavo/camera/v4l2_enumeration.h"
#include "pictavo/camera/v4l2_formats.h"
#include "v4l2_fake_tree.h"

namespace {

using pictavo::findV4l2CaptureNodes;
using pictavo::Resolution;
using pictavo_test::FakeV4l2Tree;

std::vector<Resolution> sizes(std::initializer_list<std::pair<int, int>> list) {
    std::vector<Resolution> out;
    for (auto [w, h] : list) out.push_back({w, h});
    return out;
}

TEST(V4l2Enumeration, ListsCaptureNodesInNodeOrderWithTheirUsbIdentity) {
    FakeV4l2Tree tree;
    // A UVC camera makes two nodes: video capture and metadata.
    pictavo_test::giveFormats(*tree.add("video0", "Doc Cam", "1-1", 0));
    tree.add("video1", "Doc Cam", "1-1", 1)->caps = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;
    // An output-only node (a loopback device) is no camera.
    tree.add("video2", "Loopback", "1-3", 0)->caps = V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_STREAMING;
    pictavo_test::giveFormats(*tree.add("video10", "Second Cam", "1-2", 0));

    const auto nodes = findV4l2CaptureNodes(tree.root(), *tree.io);
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(nodes[0].nodeName, "video0");
    EXPECT_EQ(nodes[0].name, "Doc Cam");
    EXPECT_EQ(nodes[0].vendorId, "046D");
    EXPECT_EQ(nodes[0].productId, "0825");
    EXPECT_EQ(nodes[0].serial, "SN-1-1");
    EXPECT_EQ(nodes[0].busInfo, "usb-0000:00:14.0-1");
    EXPECT_EQ(nodes[0].openError, 0);
    ASSERT_EQ(nodes[0].formats.size(), 2u);
    EXPECT_EQ(nodes[0].formats[0].mediaType.name, "MJPG");
    EXPECT_EQ(nodes[0].formats[1].mediaType.name, "YUYV");
    // Numeric order, not text order: video10 after video0 (and video2 left out).
    EXPECT_EQ(nodes[1].nodeName, "video10");
    EXPECT_EQ(nodes[1].serial, "SN-1-2");
    EXPECT_NE(nodes[0].identity, nodes[1].identity);

    // The identity is the same on the next scan.
    EXPECT_EQ(findV4l2CaptureNodes(tree.root(), *tree.io)[0].identity, nodes[0].identity);
}

TEST(V4l2Enumeration, NodesWithoutPermissionAreListedOncePerDevice) {
    FakeV4l2Tree tree;
    tree.add("video0", "Locked Cam", "1-4", 0);
    tree.add("video1", "Locked Cam", "1-4", 1);
    tree.refuse("video0", EACCES);
    tree.refuse("video1", EACCES);
    const auto nodes = findV4l2CaptureNodes(tree.root(), *tree.io);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0].name, "Locked Cam");  // from sysfs: the driver could not be asked
    EXPECT_EQ(nodes[0].openError, EACCES);
    EXPECT_TRUE(nodes[0].formats.empty());
    EXPECT_EQ(nodes[0].vendorId, "046D");
}

TEST(V4l2Enumeration, MissingTreesAndVanishedNodesGiveNothing) {
    FakeV4l2Tree tree;
    EXPECT_TRUE(findV4l2CaptureNodes(tree.root(), *tree.io).empty());
    EXPECT_TRUE(findV4l2CaptureNodes(tree.root() + "/no-such-root", *tree.io).empty());
    // A class entry whose node is gone (unplugged between the listing and the open).
    tree.add("video0", "Cam", "1-1");
    tree.refuse("video0", ENODEV);
    EXPECT_TRUE(findV4l2CaptureNodes(tree.root(), *tree.io).empty());
    // Names that are not video nodes are not looked at.
    tree.dir.write("sys/class/video4linux/v4l-subdev0/name", "sensor\n");
    tree.dir.write("sys/class/video4linux/videoX/name", "odd\n");
    EXPECT_TRUE(findV4l2CaptureNodes(tree.root(), *tree.io).empty());
}

TEST(V4l2Formats, DiscreteSizesLargestFirstAndUnconvertibleFormatsLeftOut) {
    pictavo_test::FakeV4l2Device device;
    device.formats = {
        {V4L2_PIX_FMT_H264, {{1920, 1080}}},
        {V4L2_PIX_FMT_MJPEG, {{640, 480}, {1920, 1080}, {1280, 720}, {640, 480}}},
        {V4L2_PIX_FMT_YUYV, {{320, 240}, {640, 480}}},
        {V4L2_PIX_FMT_NV12, {}},  // no size: not offered
    };
    pictavo_test::FakeHandle handle(std::shared_ptr<pictavo_test::FakeV4l2Device>(
        &device, [](pictavo_test::FakeV4l2Device*) {}));
    const auto formats = pictavo::queryFormats(handle);
    ASSERT_EQ(formats.size(), 2u);
    EXPECT_EQ(formats[0].pixelFormat, static_cast<uint32_t>(V4L2_PIX_FMT_MJPEG));
    EXPECT_EQ(formats[0].mediaType.resolutions, sizes({{1920, 1080}, {1280, 720}, {640, 480}}));
    EXPECT_EQ(formats[1].mediaType.name, "YUYV");
    EXPECT_EQ(formats[1].mediaType.resolutions, sizes({{640, 480}, {320, 240}}));
}

TEST(V4l2Formats, StepwiseRangesOfferTheUsualSizesOnTheirGrid) {
    const auto list = pictavo::sizesInRange(160, 1280, 16, 120, 960, 8);
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(list.front(), (Resolution{1280, 960}));  // the range's largest ...
    EXPECT_EQ(list.back(), (Resolution{160, 120}));    // ... and smallest
    const auto has = [](const std::vector<Resolution>& l, int w, int h) {
        return std::count(l.begin(), l.end(), Resolution{w, h}) == 1;
    };
    EXPECT_TRUE(has(list, 640, 480));
    EXPECT_TRUE(has(list, 1280, 720));
    EXPECT_TRUE(has(list, 352, 288));
    EXPECT_FALSE(has(list, 1920, 1080));  // beyond the range
    // A coarse grid keeps only the sizes on it.
    const auto coarse = pictavo::sizesInRange(160, 1280, 160, 120, 960, 120);
    EXPECT_FALSE(has(coarse, 352, 288));
    EXPECT_TRUE(has(coarse, 640, 480));
    EXPECT_TRUE(has(coarse, 800, 600));
    // Nonsense ranges offer nothing.
    EXPECT_TRUE(pictavo::sizesInRange(0, 640, 1, 0, 480, 1).empty());
    EXPECT_TRUE(pictavo::sizesInRange(640, 320, 1, 480, 240, 1).empty());
}

TEST(V4l2Formats, FourccTexts) {
    EXPECT_EQ(pictavo::fourccText(V4L2_PIX_FMT_MJPEG), "MJPG");
    EXPECT_EQ(pictavo::fourccText(V4L2_PIX_FMT_YUYV), "YUYV");
    EXPECT_EQ(pictavo::fourccText(V4L2_PIX_FMT_Y16), "Y16");
    EXPECT_EQ(pictavo::fourccText(0x01020304u), "????");
}

}  // namespace
