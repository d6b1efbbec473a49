// Per-frame cost of the live preview path (crop mark, whole-step scaling, JPEG at quality 70 into
// the scratch file, Base64 by the capture library, delete, send into a sink that converts to
// UTF-8 as the endpoint does) against the floor: a bare libjpeg-turbo encode of the same scaled
// picture into memory, measured in the same run, interleaved with the path.
// Usage: bench_preview [frames per round] [rounds] [case label prefix]. Build Release to measure.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "camera/preview.h"
#include "common/code_page.h"
#include "common/paths.h"
#include "files/text_encoding.h"
#include "service/command_service.h"

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

namespace {

using Clock = std::chrono::steady_clock;
using lenvaro::CommandService;
using lenvaro::ScaledPicture;

// A page of a document as a camera sees it: a light, slightly uneven sheet with dark text-like
// strokes, on a darker desk, with sensor noise. Bottom-up B,G,R like the library's frames.
std::vector<uint8_t> documentFrame(int width, int height) {
    std::vector<uint8_t> frame(static_cast<size_t>(width) * height * 3);
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> noise(-6, 6);
    const int pageLeft = width / 8, pageRight = width - width / 8;
    const int pageTop = height / 12, pageBottom = height - height / 12;
    const int lineHeight = std::max(8, height / 60);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = frame.data() + static_cast<size_t>(height - 1 - y) * width * 3;
        const int line = (y - pageTop) / lineHeight;
        const bool textRow = (y - pageTop) % lineHeight < lineHeight * 2 / 3 && line % 7 != 6;
        for (int x = 0; x < width; ++x) {
            int value;
            if (x < pageLeft || x >= pageRight || y < pageTop || y >= pageBottom) {
                value = 70 + (x + y) % 40;
            } else {
                value = 225 - (x - pageLeft) * 15 / width;
                // Words: runs of strokes with gaps, different on every line.
                const int word = ((x - pageLeft) / (lineHeight * 3) + line * 13) % 5;
                if (textRow && word != 0 && x > pageLeft + width / 20 &&
                    x < pageRight - width / 20 && ((x * 7 + y * 3 + line) % 5) < 2) {
                    value = 30;
                }
            }
            value = std::clamp(value + noise(random), 0, 255);
            row[x * 3 + 0] = static_cast<uint8_t>(value);
            row[x * 3 + 1] = static_cast<uint8_t>(value);
            row[x * 3 + 2] = static_cast<uint8_t>(std::min(255, value + 4));
        }
    }
    return frame;
}

// The floor: libjpeg-turbo alone, memory destination, the settings the preview uses.
size_t bareEncode(const ScaledPicture& picture, std::vector<uint8_t>& scratch) {
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* buffer = scratch.data();
    unsigned long size = scratch.size();
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = static_cast<JDIMENSION>(picture.width);
    info.image_height = static_cast<JDIMENSION>(picture.height);
    info.input_components = 3;
    info.in_color_space = picture.bgr ? JCS_EXT_BGR : JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 70, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        const size_t sourceRow = static_cast<size_t>(picture.height) - 1 - info.next_scanline;
        auto* row = const_cast<JSAMPROW>(picture.pixels + sourceRow * picture.stride);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    if (buffer != scratch.data()) std::free(buffer);
    return size;
}

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct Case {
    const char* label;
    int width, height, previewWidth;
};

}  // namespace

int main(int argc, char** argv) {
    const int framesPerRound = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
    // Only the cases whose label starts with this text (to profile one of them).
    const std::string only = argc > 3 ? argv[3] : "";
    lenvaro::setInternalCodePage(lenvaro::localeCodePage());

    // Where the service keeps its scratch files (in memory when $XDG_RUNTIME_DIR is set).
    lenvaro::ScratchDirectory scratch(lenvaro::scratchParentFolder());
    std::printf("scratch files in %s\n", lenvaro::scratchParentFolder().c_str());
    size_t sentBytes = 0;
    size_t sentMessages = 0;
    CommandService service(scratch.path(), [&](std::string text) {
        // What the endpoint does with every text before it queues it.
        const std::string wire = lenvaro::ansiToUtf8(std::move(text));
        sentBytes += wire.size();
        ++sentMessages;
    });

    std::printf("preview path vs bare libjpeg-turbo encode of the same scaled picture\n");
    std::printf("%d frames each, path and floor alternating, medians of single frames\n\n",
                framesPerRound * rounds);
    std::printf("%-20s %10s %11s %10s %10s %7s %9s\n", "frame -> width", "preview", "jpeg bytes",
                "path ms", "floor ms", "ratio", "path fps");

    const Case cases[] = {{"1920x1080 -> 640", 1920, 1080, 640},
                          {"2592x1944 -> 500", 2592, 1944, 500},
                          {"1920x1080 -> full", 1920, 1080, 0},
                          {"2592x1944 -> full", 2592, 1944, 0}};
    bool allWithinTarget = true;
    for (const Case& c : cases) {
        if (std::string(c.label).compare(0, only.size(), only) != 0) continue;
        std::vector<uint8_t> frame = documentFrame(c.width, c.height);
        lenvaro::resetPreview();
        lenvaro::previewState().setWidth(c.previewWidth);
        // A custom rectangle, so the mark is drawn on every frame.
        lenvaro::previewState().setCropRect(
            {c.width / 10, c.height / 10, c.width - c.width / 10, c.height - c.height / 10});

        ScaledPicture picture;
        lenvaro::decimateFrame(frame.data(), c.width, c.height, c.previewWidth, picture);
        std::vector<uint8_t> encoded(static_cast<size_t>(picture.width) * picture.height * 3 +
                                     65536);
        size_t jpegBytes = 0;

        // Warm both up (page cache, allocator, code).
        for (int i = 0; i < 3; ++i) {
            lenvaro::onPreviewFrame(frame.data(), c.width, c.height, 0);
            jpegBytes = bareEncode(picture, encoded);
        }
        // One path frame, then one bare encode, and again: both see the same machine load, and
        // the medians of single frames shrug off the frames another process interrupted.
        std::vector<double> pathTimes, floorTimes;
        const size_t messagesBefore = sentMessages;
        const int frames = framesPerRound * rounds;
        for (int i = 0; i < frames; ++i) {
            auto start = Clock::now();
            lenvaro::onPreviewFrame(frame.data(), c.width, c.height, 0);
            pathTimes.push_back(millisecondsSince(start));
            start = Clock::now();
            jpegBytes = bareEncode(picture, encoded);
            floorTimes.push_back(millisecondsSince(start));
        }
        if (sentMessages - messagesBefore != static_cast<size_t>(frames)) {
            std::fprintf(stderr, "frames were dropped: %zu of %d sent\n",
                         sentMessages - messagesBefore, frames);
            return 1;
        }
        const double path = median(pathTimes);
        const double floor = median(floorTimes);
        const double ratio = path / floor;
        allWithinTarget = allWithinTarget && ratio <= 1.3;
        const std::string size =
            std::to_string(picture.width) + "x" + std::to_string(picture.height);
        std::printf("%-20s %10s %11zu %10.3f %10.3f %6.2fx %9.1f\n", c.label, size.c_str(),
                    jpegBytes, path, floor, ratio, 1000.0 / path);
    }
    std::printf("\nmessages sent: %zu, bytes on the wire: %zu\n", sentMessages, sentBytes);
    std::printf("target (path within 1.3x of the floor): %s\n",
                allWithinTarget ? "met" : "NOT met");
    return 0;
}
