// The camera family over the devices the registry found.
#include "pictavo/camera/camera_family.h"

#include <atomic>
#include <mutex>

#include "pictavo/status.h"

namespace pictavo {

struct CameraFamily::Slot {
    explicit Slot(std::unique_ptr<Camera> device) : camera(std::move(device)) {}

    const std::unique_ptr<Camera> camera;
    std::mutex mutex;   // one operation at a time on this device
    bool open = false;  // guarded by mutex
    // Read by delivering threads without the lock.
    std::atomic<PreviewFrameCallback*> preview{nullptr};
    std::atomic<AutoCaptureCallback*> autoCapture{nullptr};
};

CameraFamily::CameraFamily(std::vector<std::unique_ptr<Camera>> cameras) {
    slots_.reserve(cameras.size());
    for (auto& camera : cameras) {
        if (camera) slots_.push_back(std::make_unique<Slot>(std::move(camera)));
    }
}

CameraFamily::~CameraFamily() = default;

CameraFamily::Slot* CameraFamily::slot(int dev) const {
    if (dev < 0 || static_cast<size_t>(dev) >= slots_.size()) return nullptr;
    return slots_[static_cast<size_t>(dev)].get();
}

int CameraFamily::withoutPipeline(int dev) const {
    return slot(dev) != nullptr ? kNotSupported : kNoDevice;
}

int CameraFamily::init() { return kOk; }

int CameraFamily::uninit() {
    int result = kOk;
    for (const auto& s : slots_) {
        s->preview.store(nullptr);
        s->autoCapture.store(nullptr);
        std::lock_guard<std::mutex> lock(s->mutex);
        if (!s->open) continue;
        const int status = s->camera->close();
        // The device is given up either way; a later open() starts from scratch.
        s->open = false;
        if (status != kOk && result == kOk) result = status;
    }
    return result;
}

int CameraFamily::count() const { return static_cast<int>(slots_.size()); }

bool CameraFamily::exists(int dev) const { return slot(dev) != nullptr; }

std::string CameraFamily::name(int dev) const {
    Slot* s = slot(dev);
    if (s == nullptr) return "";
    std::lock_guard<std::mutex> lock(s->mutex);
    return s->camera->info().name;
}

int CameraFamily::info(int dev, CameraInfo& info) const {
    Slot* s = slot(dev);
    if (s == nullptr) return kNoDevice;
    std::lock_guard<std::mutex> lock(s->mutex);
    info = s->camera->info();
    return kOk;
}

int CameraFamily::mediaTypeCount(int dev, int& count) const {
    Slot* s = slot(dev);
    if (s == nullptr) return kNoDevice;
    std::lock_guard<std::mutex> lock(s->mutex);
    count = static_cast<int>(s->camera->mediaTypes().size());
    return kOk;
}

std::string CameraFamily::mediaTypeName(int dev, int index) const {
    Slot* s = slot(dev);
    if (s == nullptr) return "";
    std::lock_guard<std::mutex> lock(s->mutex);
    const std::vector<MediaType> types = s->camera->mediaTypes();
    if (index < 0 || static_cast<size_t>(index) >= types.size()) return "";
    return types[static_cast<size_t>(index)].name;
}

int CameraFamily::resolutionCount(int dev, int mediaType, int& count) const {
    Slot* s = slot(dev);
    if (s == nullptr) return kNoDevice;
    std::lock_guard<std::mutex> lock(s->mutex);
    const std::vector<MediaType> types = s->camera->mediaTypes();
    if (mediaType < 0 || static_cast<size_t>(mediaType) >= types.size()) return kInvalidArgument;
    count = static_cast<int>(types[static_cast<size_t>(mediaType)].resolutions.size());
    return kOk;
}

int CameraFamily::resolution(int dev, int mediaType, int index, Resolution& size) const {
    Slot* s = slot(dev);
    if (s == nullptr) return kNoDevice;
    std::lock_guard<std::mutex> lock(s->mutex);
    const std::vector<MediaType> types = s->camera->mediaTypes();
    if (mediaType < 0 || static_cast<size_t>(mediaType) >= types.size()) return kInvalidArgument;
    const std::vector<Resolution>& sizes = types[static_cast<size_t>(mediaType)].resolutions;
    if (index < 0 || static_cast<size_t>(index) >= sizes.size()) return kInvalidArgument;
    size = sizes[static_cast<size_t>(index)];
    return kOk;
}

int CameraFamily::open(int dev, int mediaType, Resolution size) {
    Slot* s = slot(dev);
    if (s == nullptr) return kNoDevice;
    std::lock_guard<std::mutex> lock(s->mutex);
    const int status = s->camera->open(mediaType, size);
    if (status == kOk) s->open = true;
    return status;
}

int CameraFamily::close(int dev) {
    Slot* s = slot(dev);
    if (s == nullptr) return kNoDevice;
    std::lock_guard<std::mutex> lock(s->mutex);
    if (!s->open) return kOk;
    const int status = s->camera->close();
    if (status == kOk) s->open = false;
    return status;
}

int CameraFamily::setResolution(int dev, Resolution) { return withoutPipeline(dev); }

int CameraFamily::currentResolution(int dev, int&, Resolution&) const {
    return withoutPipeline(dev);
}

int CameraFamily::setMediaType(int dev, int) { return withoutPipeline(dev); }

int CameraFamily::setPreviewCallback(int dev, PreviewFrameCallback* callback) {
    Slot* s = slot(dev);
    if (s == nullptr) return kNoDevice;
    s->preview.store(callback);
    return kOk;
}

int CameraFamily::capture(int dev, const std::string&) { return withoutPipeline(dev); }

int CameraFamily::captureBook(const std::string&, const std::string&) {
    for (const auto& s : slots_) {
        std::lock_guard<std::mutex> lock(s->mutex);
        if (s->open) return kNotSupported;
    }
    return kNoDevice;
}

int CameraFamily::setImageOption(int dev, const ImageOption&) { return withoutPipeline(dev); }

// Removing fingers from book pages is image processing the pipeline does not have yet, whatever
// the devices.
int CameraFamily::setRemoveFinger(int) { return kNotSupported; }

int CameraFamily::control(int dev, const DeviceControl&) { return withoutPipeline(dev); }

int CameraFamily::startAutoCapture(int dev, int, int, AutoCaptureCallback*) {
    // Once auto capture exists, the callback goes into the slot's autoCapture here.
    return withoutPipeline(dev);
}

int CameraFamily::stopAutoCapture(int dev) { return withoutPipeline(dev); }

std::vector<std::string> CameraFamily::audioDevices() const { return {}; }

std::vector<std::string> CameraFamily::videoEncoders() const { return {}; }

int CameraFamily::startRecord(int dev, const RecordRequest&) { return withoutPipeline(dev); }

int CameraFamily::stopRecord(int dev) { return withoutPipeline(dev); }

// The library has no windows of its own.
int CameraFamily::showSettingsWindow(int dev, SettingsWindow) { return withoutPipeline(dev); }

bool CameraFamily::deliverPreviewFrame(int dev, uint8_t* pixels, int width, int height) {
    Slot* s = slot(dev);
    PreviewFrameCallback* callback = s != nullptr ? s->preview.load() : nullptr;
    if (callback == nullptr) return false;
    callback(pixels, width, height, 0);
    return true;
}

bool CameraFamily::deliverAutoCaptureEvent(int dev, int event) {
    Slot* s = slot(dev);
    AutoCaptureCallback* callback = s != nullptr ? s->autoCapture.load() : nullptr;
    if (callback == nullptr) return false;
    callback(event);
    return true;
}

}  // namespace pictavo
