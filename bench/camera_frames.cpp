// What the simulated cameras cost: drawing one frame of the document scene, handing it through
// the camera stream to a preview callback, capturing it to a JPEG file and recording it, at the
// sizes the cameras offer; then the CPU share of a camera streaming at its frame rate. Build
// Release to measure.

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <thread>

#include "pictavo/camera/camera_family.h"
#include "pictavo/camera/capture_pipeline.h"
#include "pictavo/camera/frame_generator.h"
#include "pictavo/camera/simulated_camera.h"
#include "pictavo/status.h"
#include "process_cpu.h"

namespace {

using namespace pictavo;
using Clock = std::chrono::steady_clock;

// Milliseconds per call of `work`, over enough calls to take about a second.
double perCall(const std::function<void()>& work) {
    work();  // warm up
    int calls = 0;
    const auto start = Clock::now();
    while (Clock::now() - start < std::chrono::seconds(1) || calls < 3) {
        work();
        ++calls;
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count() / calls;
}


}  // namespace

int main() {
    const std::string directory = std::filesystem::temp_directory_path() / "bench-camera-frames";
    std::filesystem::create_directories(directory);
    std::printf("%-10s %10s %10s %10s %10s %10s\n", "size", "draw ms", "stream ms", "capture ms",
                "record ms", "frame kB");
    for (Resolution size : {Resolution{640, 480}, Resolution{1920, 1080}, Resolution{2592, 1944}}) {
        DocumentScene scene;
        Frame frame;
        const double draw =
            perCall([&] { scene.render(frame, size, std::chrono::system_clock::now()); });

        CameraStream stream(15);
        stream.started();
        stream.setPreviewCallback(ignoreFrame);
        const double streamed = perCall([&] {
                                    scene.render(frame, size, std::chrono::system_clock::now());
                                    stream.onFrame(frame);
                                }) -
                                draw;

        std::vector<uint8_t> jpeg;
        const double capture = perCall([&] { stream.capture(directory + "/capture.jpg"); });
        scene.render(frame, size, std::chrono::system_clock::now());
        const double record = perCall([&] { encodeFrame(frame, 75, jpeg); });
        std::printf("%4dx%-5d %10.2f %10.2f %10.2f %10.2f %10zu\n", size.width, size.height, draw,
                    streamed, capture, record, jpeg.size() / 1024);
    }

    // A camera streaming at 15 fps into a preview callback that does nothing: the library's own
    // share of one core.
    for (Resolution size : {Resolution{1920, 1080}, Resolution{2592, 1944}}) {
        SimulatedCameraSpec spec;
        spec.mediaTypes = {{"MJPG", {size}}};
        spec.framesPerSecond = 15;
        std::vector<std::unique_ptr<Camera>> cameras;
        cameras.push_back(
            std::make_unique<SimulatedCamera>(spec, std::make_unique<DocumentScene>()));
        CameraFamily family(std::move(cameras));
        family.setPreviewCallback(0, ignoreFrame);
        family.open(0, 0, size);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const double cpuBefore = processCpuSeconds();
        const auto start = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(3));
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        const double cpu = processCpuSeconds() - cpuBefore;
        family.close(0);
        std::printf("streaming %dx%d at 15 fps: %.1f%% of one core\n", size.width, size.height,
                    100.0 * cpu / wall);
    }
    std::filesystem::remove_all(directory);
    return 0;
}
