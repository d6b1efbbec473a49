// Pixel formats and frame sizes of a V4L2 capture node.
#include "pictavo/camera/v4l2_formats.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace pictavo {
namespace {

// The sizes document and web cameras commonly offer; a stepwise range lists those that fit.
constexpr Resolution kCommonSizes[] = {
    {4208, 3120}, {4096, 3072}, {3840, 2160}, {3264, 2448}, {2592, 1944}, {2560, 1440},
    {2048, 1536}, {1920, 1080}, {1600, 1200}, {1280, 1024}, {1280, 960},  {1280, 720},
    {1024, 768},  {800, 600},   {640, 480},   {640, 360},   {352, 288},   {320, 240},
    {176, 144},   {160, 120},
};

// A stepwise range that lists every size would be thousands of entries; no page wants that.
constexpr size_t kMaxSizesPerFormat = 64;
// A driver that keeps answering (a broken one) is not asked forever.
constexpr uint32_t kMaxEnumerations = 256;

bool onGrid(uint32_t value, uint32_t low, uint32_t high, uint32_t step) {
    if (value < low || value > high) return false;
    return step == 0 || (value - low) % step == 0;
}

}  // namespace

std::string fourccText(uint32_t pixelFormat) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((pixelFormat >> (8 * i)) & 0xff);
        text.push_back(c >= 0x20 && c < 0x7f ? c : '?');
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

bool convertibleFormat(uint32_t pixelFormat) {
    switch (pixelFormat) {
        // Decoded by the JPEG codec.
        case V4L2_PIX_FMT_MJPEG:
        case V4L2_PIX_FMT_JPEG:
        // Converted with OpenCV.
        case V4L2_PIX_FMT_YUYV:
        case V4L2_PIX_FMT_YVYU:
        case V4L2_PIX_FMT_UYVY:
        case V4L2_PIX_FMT_NV12:
        case V4L2_PIX_FMT_NV21:
        case V4L2_PIX_FMT_YUV420:
        case V4L2_PIX_FMT_YVU420:
        case V4L2_PIX_FMT_RGB24:
        case V4L2_PIX_FMT_BGR24:
        case V4L2_PIX_FMT_RGB565:
        case V4L2_PIX_FMT_GREY:
            return true;
        default:
            return false;
    }
}

void sortLargestFirst(std::vector<Resolution>& sizes) {
    std::sort(sizes.begin(), sizes.end(), [](Resolution a, Resolution b) {
        const long areaA = static_cast<long>(a.width) * a.height;
        const long areaB = static_cast<long>(b.width) * b.height;
        if (areaA != areaB) return areaA > areaB;
        return a.width > b.width;
    });
    sizes.erase(std::unique(sizes.begin(), sizes.end()), sizes.end());
}

std::vector<Resolution> sizesInRange(uint32_t minWidth, uint32_t maxWidth, uint32_t stepWidth,
                                     uint32_t minHeight, uint32_t maxHeight, uint32_t stepHeight) {
    std::vector<Resolution> sizes;
    if (minWidth == 0 || minHeight == 0 || maxWidth < minWidth || maxHeight < minHeight ||
        maxWidth > 16384 || maxHeight > 16384)
        return sizes;
    sizes.push_back({static_cast<int>(maxWidth), static_cast<int>(maxHeight)});
    for (const Resolution& common : kCommonSizes) {
        if (onGrid(static_cast<uint32_t>(common.width), minWidth, maxWidth, stepWidth) &&
            onGrid(static_cast<uint32_t>(common.height), minHeight, maxHeight, stepHeight))
            sizes.push_back(common);
    }
    sizes.push_back({static_cast<int>(minWidth), static_cast<int>(minHeight)});
    sortLargestFirst(sizes);
    return sizes;
}

std::vector<V4l2Format> queryFormats(V4l2Handle& handle) {
    std::vector<V4l2Format> formats;
    for (uint32_t index = 0; index < kMaxEnumerations; ++index) {
        v4l2_fmtdesc description{};
        description.index = index;
        description.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (handle.control(VIDIOC_ENUM_FMT, &description) != 0) break;
        if (!convertibleFormat(description.pixelformat)) continue;

        V4l2Format format;
        format.pixelFormat = description.pixelformat;
        format.mediaType.name = fourccText(description.pixelformat);
        std::vector<Resolution>& sizes = format.mediaType.resolutions;
        for (uint32_t sizeIndex = 0; sizeIndex < kMaxEnumerations; ++sizeIndex) {
            v4l2_frmsizeenum size{};
            size.index = sizeIndex;
            size.pixel_format = description.pixelformat;
            if (handle.control(VIDIOC_ENUM_FRAMESIZES, &size) != 0) break;
            if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
                if (size.discrete.width > 0 && size.discrete.height > 0 &&
                    size.discrete.width <= 16384 && size.discrete.height <= 16384)
                    sizes.push_back({static_cast<int>(size.discrete.width),
                                     static_cast<int>(size.discrete.height)});
                continue;
            }
            // A continuous range is a stepwise one with a step of 1; either is described once.
            const v4l2_frmsize_stepwise& range = size.stepwise;
            const uint32_t stepWidth =
                size.type == V4L2_FRMSIZE_TYPE_CONTINUOUS ? 1 : range.step_width;
            const uint32_t stepHeight =
                size.type == V4L2_FRMSIZE_TYPE_CONTINUOUS ? 1 : range.step_height;
            for (const Resolution& r :
                 sizesInRange(range.min_width, range.max_width, stepWidth, range.min_height,
                              range.max_height, stepHeight))
                sizes.push_back(r);
            break;
        }
        sortLargestFirst(sizes);
        if (sizes.size() > kMaxSizesPerFormat) sizes.resize(kMaxSizesPerFormat);
        if (sizes.empty()) continue;
        // A driver that lists a format twice (compressed and emulated) is shown it once.
        const bool listed = std::any_of(formats.begin(), formats.end(), [&](const V4l2Format& f) {
            return f.pixelFormat == format.pixelFormat;
        });
        if (!listed) formats.push_back(std::move(format));
    }
    return formats;
}

}  // namespace pictavo
