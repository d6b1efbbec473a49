// The face model's engine: one comparison of two 1920 x 1080 photographs (both files read,
// decoded, faces found and described, scored), its stages, and the cores that live matches use
// while several run at once.
//
//   bench_face_matching [rounds]    (the model and the sample photographs from scripts/setup)
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/jpeg_codec.h"
#include "pictavo/biometrics/model_face_engine.h"
#include "pictavo/status.h"
#include "process_cpu.h"

namespace {

using Clock = std::chrono::steady_clock;

double milliseconds(Clock::duration span) {
    return std::chrono::duration<double, std::milli>(span).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double threadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

double loadAverage() {
    double load = -1;
    std::ifstream("/proc/loadavg") >> load;
    return load;
}

// The sample photograph cut to 1920 x 1080 around its faces and written as a camera would, at
// JPEG quality 90.
std::string photo1080(int sample, int top, lenvaro::jpeg::Image& pixels) {
    lenvaro::jpeg::Image whole;
    const std::string source = std::string(FACE_SAMPLES) + "/sample" + std::to_string(sample) + ".jpg";
    if (!lenvaro::jpeg::readFile(source, whole) || whole.width < 1920 || whole.height < top + 1080) {
        std::fprintf(stderr, "%s cannot be read (scripts/setup installs it)\n", source.c_str());
        std::exit(1);
    }
    pixels.width = 1920;
    pixels.height = 1080;
    pixels.pixels.assign(whole.pixels.begin() + static_cast<long>(top) * whole.width * 3,
                         whole.pixels.begin() + static_cast<long>(top + 1080) * whole.width * 3);
    const std::string path = "/tmp/bench_face_" + std::to_string(sample) + ".jpg";
    lenvaro::jpeg::EncodeOptions options;
    options.quality = 90;
    lenvaro::jpeg::writeFile(path, pixels.pixels.data(), 1920, 1080, 3, 1920 * 3u, options);
    return path;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 15;
    lenvaro::jpeg::Image first, second;
    const std::string firstPath = photo1080(2, 0, first);     // one face
    const std::string secondPath = photo1080(6, 200, second);  // five faces
    pictavo::ModelFaceEngine engine(FACE_MODEL);
    if (engine.init() != pictavo::kOk) {
        std::fprintf(stderr, "no face model in %s (scripts/setup converts it)\n", FACE_MODEL);
        return 1;
    }
    std::printf("load average %.2f before; %d rounds, medians\n", loadAverage(), rounds);

    // Warm up once: the networks allocate their buffers on the first picture.
    int score = 0;
    engine.matchFiles(firstPath, secondPath, score);
    // The CPU time of this thread is the time the comparison takes on one core, whatever else
    // the machine runs; the process's CPU time beside it shows that no other thread helped.
    std::vector<double> wall, cpu, processCpu;
    for (int round = 0; round < rounds; ++round) {
        const double cpuBefore = threadCpuMs(), processBefore = processCpuSeconds();
        const auto start = Clock::now();
        const int status = engine.matchFiles(firstPath, secondPath, score);
        wall.push_back(milliseconds(Clock::now() - start));
        cpu.push_back(threadCpuMs() - cpuBefore);
        processCpu.push_back((processCpuSeconds() - processBefore) * 1000);
        if (status != pictavo::kOk) std::printf("status %d\n", status);
    }
    std::printf("camMatchFaceByFile, two 1920x1080 JPEG photos: %.0f ms CPU of the calling thread, "
                "%.0f ms CPU of the process, %.0f ms wall (score %d)\n",
                median(cpu), median(processCpu), median(wall), score);

    // The stages of one picture: decoding, then finding and describing its largest face.
    std::vector<double> decode, describe;
    for (int round = 0; round < rounds; ++round) {
        double before = threadCpuMs();
        pictavo::Picture picture;
        pictavo::facePictureOfFile(secondPath, picture);
        decode.push_back(threadCpuMs() - before);
        before = threadCpuMs();
        pictavo::FaceDescriptor descriptor;
        std::string problem;
        static const auto model = pictavo::FaceModel::load(FACE_MODEL, problem);
        pictavo::describeLargestFace(*model, picture, descriptor);
        describe.push_back(threadCpuMs() - before);
    }
    std::printf("  per picture: decode %.0f ms, largest face found and described %.0f ms (CPU)\n",
                median(decode), median(describe));

    // Four live matches at once against a camera showing someone else: none is ever sure, so
    // each looks for its whole time. The process must not use more than one core for them.
    const pictavo::FrameCopy frame{1920, 1080, first.pixels};
    pictavo::ModelFaceEngine live(FACE_MODEL, [&](int, pictavo::FrameCopy& copy) {
        copy = frame;
        return pictavo::kOk;
    });
    live.init();
    const double cpuBefore = processCpuSeconds();
    const auto start = Clock::now();
    std::vector<std::thread> matches;
    for (int i = 0; i < 4; ++i) {
        matches.emplace_back([&] {
            int best = 0;
            live.matchFileWithCamera(0, secondPath, 4000, best);
        });
    }
    for (std::thread& match : matches) match.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("4 live matches of 4 s at once: %.1f s wall, %.2f cores used on average\n", seconds,
                (processCpuSeconds() - cpuBefore) / seconds);
    std::printf("load average %.2f after\n", loadAverage());
    return 0;
}
