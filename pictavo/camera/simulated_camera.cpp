// The simulated cameras and their frame thread.
#include "pictavo/camera/simulated_camera.h"

#include <algorithm>

#include "pictavo/status.h"

namespace pictavo {
namespace {

// The video parameters a simulated camera accepts: (para1, para2) selects one, `flag` 1 sets it
// to automatic (its default), 2 to the manual `value`, which must lie in the range.
struct VideoParameterRange {
    int low, high, automatic;
};
// para1 0: picture: brightness, contrast, hue, saturation, sharpness, gamma, white balance,
// backlight compensation, gain.
constexpr VideoParameterRange kPictureParameters[] = {
    {-64, 64, 0},    {0, 100, 50},       {-180, 180, 0}, {0, 100, 64}, {0, 100, 50},
    {100, 500, 100}, {2800, 6500, 4600}, {0, 2, 1},      {0, 100, 0},
};
// para1 1: camera: pan, tilt, roll, zoom, exposure, iris, focus.
constexpr VideoParameterRange kCameraParameters[] = {
    {-180, 180, 0}, {-180, 180, 0}, {-180, 180, 0}, {100, 500, 100},
    {-13, -1, -6},  {0, 10, 0},     {0, 1023, 0},
};

const VideoParameterRange* parameterRange(int para1, int para2) {
    if (para1 == 0 && para2 >= 0 && para2 < static_cast<int>(std::size(kPictureParameters)))
        return &kPictureParameters[para2];
    if (para1 == 1 && para2 >= 0 && para2 < static_cast<int>(std::size(kCameraParameters)))
        return &kCameraParameters[para2];
    return nullptr;
}

struct ControlVisitor {
    int& focusMode;
    int& beeps;
    std::map<std::pair<int, int>, int>& parameters;

    int operator()(const device_control::VideoParameter& p) const {
        const VideoParameterRange* range = parameterRange(p.para1, p.para2);
        if (range == nullptr) return kInvalidArgument;
        if (p.flag == 1) {
            parameters[{p.para1, p.para2}] = range->automatic;
            return kOk;
        }
        if (p.flag != 2 || p.value < range->low || p.value > range->high) return kInvalidArgument;
        parameters[{p.para1, p.para2}] = p.value;
        return kOk;
    }
    int operator()(const device_control::AutoFocus& f) const {
        // 0 focus once now, 1 keep focusing, 2 stop focusing.
        if (f.type < 0 || f.type > 2) return kInvalidArgument;
        focusMode = f.type;
        return kOk;
    }
    int operator()(const device_control::Buzzer& b) const {
        if (b.count < 0 || b.count > 20 || b.duration < 0 || b.duration > 5000 || b.interval < 0 ||
            b.interval > 5000)
            return kInvalidArgument;
        beeps += b.count;
        return kOk;
    }
};

std::vector<Resolution> upTo(const std::vector<Resolution>& sizes, int maxWidth) {
    std::vector<Resolution> out;
    for (const Resolution& size : sizes) {
        if (size.width <= maxWidth) out.push_back(size);
    }
    if (out.empty() && !sizes.empty()) {
        out.push_back(*std::min_element(sizes.begin(), sizes.end(), [](Resolution a, Resolution b) {
            return static_cast<long>(a.width) * a.height < static_cast<long>(b.width) * b.height;
        }));
    }
    return out;
}

std::unique_ptr<FrameGenerator> makeScene(const SimulatedCameraSettings& camera, unsigned seed,
                                          std::vector<std::string>& problems) {
    if (!camera.images.empty()) {
        auto images = std::make_unique<ImageScene>(camera.images, problems);
        if (images->pages() > 0) return images;
        problems.push_back("no image file could be read; showing the synthetic page instead");
    }
    return std::make_unique<DocumentScene>(seed);
}

}  // namespace

SimulatedCamera::SimulatedCamera(SimulatedCameraSpec spec, std::unique_ptr<FrameGenerator> scene)
    : spec_(std::move(spec)), scene_(std::move(scene)) {}

SimulatedCamera::~SimulatedCamera() { stopThread(); }

bool SimulatedCamera::listed(int mediaType, Resolution size) const {
    if (mediaType < 0 || static_cast<size_t>(mediaType) >= spec_.mediaTypes.size()) return false;
    const auto& sizes = spec_.mediaTypes[static_cast<size_t>(mediaType)].resolutions;
    return std::find(sizes.begin(), sizes.end(), size) != sizes.end();
}

int SimulatedCamera::open(int mediaType, Resolution size) {
    if (mediaType < 0 || static_cast<size_t>(mediaType) >= spec_.mediaTypes.size())
        return kInvalidArgument;
    const auto& sizes = spec_.mediaTypes[static_cast<size_t>(mediaType)].resolutions;
    if (sizes.empty()) return kInvalidArgument;
    if (size.width == 0 && size.height == 0) size = sizes.front();
    if (!listed(mediaType, size)) return kInvalidArgument;

    // A thread left behind by a close() from the frame thread itself ends here.
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) return kFailed;
        thread_.join();
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        mediaType_ = mediaType;
        size_ = size;
        running_ = true;
        stopping_ = false;
    }
    try {
        thread_ = std::thread(&SimulatedCamera::run, this);
    } catch (...) {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
        return kFailed;
    }
    return kOk;
}

int SimulatedCamera::close() {
    stopThread();
    return kOk;
}

void SimulatedCamera::stopThread() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        running_ = false;
    }
    wake_.notify_all();
    // The frame thread closing its own camera (from inside a callback) cannot wait for itself:
    // it ends after this frame, and the next open() or the destructor joins it.
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

int SimulatedCamera::setResolution(Resolution size) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_) return kNoDevice;
    if (!listed(mediaType_, size)) return kInvalidArgument;
    size_ = size;
    return kOk;
}

int SimulatedCamera::setMediaType(int index) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_) return kNoDevice;
    if (index < 0 || static_cast<size_t>(index) >= spec_.mediaTypes.size()) return kInvalidArgument;
    const auto& sizes = spec_.mediaTypes[static_cast<size_t>(index)].resolutions;
    if (sizes.empty()) return kInvalidArgument;
    mediaType_ = index;
    if (!listed(index, size_)) size_ = sizes.front();
    return kOk;
}

int SimulatedCamera::current(int& mediaType, Resolution& size) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_) return kNoDevice;
    mediaType = mediaType_;
    size = size_;
    return kOk;
}

int SimulatedCamera::control(const DeviceControl& control) {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::visit(ControlVisitor{focusMode_, beeps_, videoParameters_}, control);
}

int SimulatedCamera::focusMode() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return focusMode_;
}

int SimulatedCamera::beeps() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return beeps_;
}

int SimulatedCamera::videoParameter(int para1, int para2) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = videoParameters_.find({para1, para2});
    return it == videoParameters_.end() ? -1 : it->second;
}

void SimulatedCamera::run() {
    using Clock = std::chrono::steady_clock;
    const auto period = std::chrono::microseconds(1000000 / std::max(1, spec_.framesPerSecond));
    Frame frame;
    auto next = Clock::now();
    auto lastTurn = next;
    bool turning = false;
    for (;;) {
        Resolution size;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (wake_.wait_until(lock, next, [this] { return stopping_; })) return;
            size = size_;
        }
        const auto now = Clock::now();
        // Auto capture: a new page every interval, the first one interval after the start.
        const bool active = autoCapture_.load();
        if (active && !turning) lastTurn = now;
        turning = active;
        if (active && now - lastTurn >= spec_.pageTurnInterval) {
            scene_->nextPage();
            lastTurn = now;
        }
        // Nothing may leave the thread (it would end the process): a frame that fails, for
        // want of memory say, is skipped.
        try {
            scene_->render(frame, size, std::chrono::system_clock::now());
            if (sink_ != nullptr) sink_->onFrame(frame);
        } catch (...) {
            frame = Frame{};
        }

        next += period;
        // A frame thread that fell behind (a slow callback) skips frames rather than rushing.
        if (Clock::now() > next + period) next = Clock::now() + period;
    }
}

std::vector<std::unique_ptr<Camera>> makeSimulatedCameras(const CameraSettings& settings,
                                                          std::vector<std::string>& problems) {
    std::vector<std::unique_ptr<Camera>> cameras;
    if (!settings.simulated) return cameras;
    const auto interval = std::chrono::milliseconds(settings.pageTurnSeconds * 1000L);

    if (settings.document.enabled) {
        SimulatedCameraSpec spec;
        spec.info = CameraInfo{"Lenvaro Simulated Document Camera",
                               1,
                               "0001",
                               "F0CA",
                               "SIM-DOC-0001",
                               "LENVARO-SIM-DOC"};
        const std::vector<Resolution> sizes =
            settings.document.sizes.empty()
                ? std::vector<Resolution>{{2592, 1944}, {2048, 1536}, {1920, 1080}, {1600, 1200},
                                          {1280, 720},  {1024, 768},  {640, 480}}
                : settings.document.sizes;
        spec.mediaTypes = {{"MJPG", sizes}, {"YUY2", upTo(sizes, 1280)}};
        spec.framesPerSecond = settings.frameRate;
        spec.pageTurnInterval = interval;
        std::vector<std::string> found;
        auto scene = makeScene(settings.document, 1, found);
        for (const std::string& problem : found) problems.push_back("document camera: " + problem);
        cameras.push_back(std::make_unique<SimulatedCamera>(std::move(spec), std::move(scene)));
    }
    if (settings.second.enabled) {
        SimulatedCameraSpec spec;
        spec.info = CameraInfo{"Lenvaro Simulated Camera", 2, "0002", "F0CA", "SIM-CAM-0002",
                               "LENVARO-SIM-CAM"};
        const std::vector<Resolution> sizes =
            settings.second.sizes.empty()
                ? std::vector<Resolution>{{1280, 720}, {640, 480}, {320, 240}}
                : settings.second.sizes;
        spec.mediaTypes = {{"MJPG", sizes}, {"YUY2", upTo(sizes, 640)}};
        spec.framesPerSecond = settings.frameRate;
        spec.pageTurnInterval = interval;
        std::vector<std::string> found;
        auto scene = makeScene(settings.second, 2, found);
        for (const std::string& problem : found) problems.push_back("second camera: " + problem);
        cameras.push_back(std::make_unique<SimulatedCamera>(std::move(spec), std::move(scene)));
    }
    return cameras;
}

}  // namespace pictavo
