// Frames per second through a real V4L2 driver: the first capture node (vivid in the VM of
// `scripts/check devices`) streamed for a few seconds per media type and size, with what the
// driver promises, what arrived converted, what was dropped, and the CPU the process spent per
// frame. Without a capture node it says so and measures nothing.
#include <linux/videodev2.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "pictavo/camera/v4l2_camera.h"
#include "pictavo/camera/v4l2_enumeration.h"

namespace {

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

class CountingSink final : public pictavo::FrameSink {
  public:
    void onFrame(pictavo::Frame&) override { frames.fetch_add(1); }
    std::atomic<int> frames{0};
};

// The frame interval the driver set for the open node, as frames per second.
double driverRate(const std::string& path) {
    auto handle = [&] {
        int error = 0;
        return pictavo::systemV4l2Io()->open(path, error);
    }();
    if (!handle) return 0;
    v4l2_streamparm parameters{};
    parameters.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (handle->control(VIDIOC_G_PARM, &parameters) != 0) return 0;
    const v4l2_fract& interval = parameters.parm.capture.timeperframe;
    return interval.numerator == 0 ? 0 : static_cast<double>(interval.denominator) / interval.numerator;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 4.0;
    auto nodes = pictavo::findV4l2CaptureNodes("/", *pictavo::systemV4l2Io());
    if (nodes.empty() || nodes.front().openError != 0) {
        std::printf("bench_v4l2_streaming: no V4L2 capture node that opens; nothing measured\n");
        return 0;
    }
    const pictavo::V4l2NodeInfo node = nodes.front();
    pictavo::V4l2Camera camera(node, pictavo::systemV4l2Io());
    CountingSink sink;
    camera.setFrameSink(&sink);
    std::printf("%s (%s), %.1f s per row\n", node.name.c_str(), node.devicePath.c_str(), seconds);
    std::printf("%-6s %-10s %9s %9s %8s %8s %12s\n", "type", "size", "driver", "arrived",
                "dropped", "damaged", "cpu ms/frame");

    const auto types = camera.mediaTypes();
    for (const char* wanted : {"YUYV", "NV12", "MJPG"}) {
        for (size_t t = 0; t < types.size(); ++t) {
            if (types[t].name != wanted) continue;
            for (const pictavo::Resolution size : types[t].resolutions) {
                // Past 1280 x 720 an emulated processor spends seconds per frame.
                if (size.width > 1280) continue;
                if (camera.open(static_cast<int>(t), size) != 0) {
                    std::printf("%-6s %4dx%-5d cannot be opened\n", wanted, size.width, size.height);
                    continue;
                }
                const double rate = driverRate(node.devicePath);
                std::this_thread::sleep_for(std::chrono::milliseconds(500));  // settle
                const int frames0 = sink.frames.load();
                const uint64_t dropped0 = camera.framesDropped();
                const uint64_t damaged0 = camera.framesDamaged();
                const double cpu0 = processCpuSeconds();
                const auto start = std::chrono::steady_clock::now();
                std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
                const double elapsed =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                const int frames = sink.frames.load() - frames0;
                const double cpu = processCpuSeconds() - cpu0;
                std::printf("%-6s %4dx%-5d %7.1f/s %7.1f/s %8llu %8llu %12.1f\n", wanted,
                            size.width, size.height, rate, frames / elapsed,
                            static_cast<unsigned long long>(camera.framesDropped() - dropped0),
                            static_cast<unsigned long long>(camera.framesDamaged() - damaged0),
                            frames > 0 ? 1000.0 * cpu / frames : 0.0);
                std::fflush(stdout);
                camera.close();
            }
        }
    }
    return 0;
}
