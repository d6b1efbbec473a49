// The camera family over the devices the registry found.
#include "pictavo/camera/camera_family.h"

#include <algorithm>
#include <mutex>

#include "pictavo/camera/audio_devices.h"
#include "pictavo/status.h"

namespace pictavo {

struct CameraFamily::Slot {
    Slot(std::unique_ptr<Camera> device, int previewWidth)
        : stream(device->framesPerSecond(), previewWidth), camera(std::move(device)) {
        camera->setFrameSink(&stream);
    }

    // Declared before the camera, so that the camera (and its frame thread) goes first.
    CameraStream stream;
    const std::unique_ptr<Camera> camera;
    std::mutex mutex;   // one device operation at a time
    bool open = false;  // guarded by mutex
    std::string identity;  // of a scanned camera; "" for a fixed one

    // Stops the device; the stream learns of it once no frame can arrive any more.
    int closeLocked() {
        const int status = camera->close();
        stream.stopped();
        open = false;
        return status;
    }
};

CameraFamily::CameraFamily(std::vector<std::unique_ptr<Camera>> cameras,
                           std::unique_ptr<CameraScanner> scanner, int previewWidth)
    : previewWidth_(previewWidth), scanner_(std::move(scanner)) {
    slots_.reserve(cameras.size());
    for (auto& camera : cameras) {
        if (!camera) continue;
        slots_.push_back(std::make_unique<Slot>(std::move(camera), previewWidth_));
        fixed_.push_back(slots_.back().get());
    }
    listed_ = fixed_;
    rescan();
}

CameraFamily::~CameraFamily() = default;

CameraFamily::Slot* CameraFamily::slot(int dev) const {
    std::lock_guard<std::mutex> lock(slotsMutex_);
    if (dev < 0 || static_cast<size_t>(dev) >= listed_.size()) return nullptr;
    return listed_[static_cast<size_t>(dev)];
}

std::vector<CameraFamily::Slot*> CameraFamily::allSlots() const {
    std::lock_guard<std::mutex> lock(slotsMutex_);
    std::vector<Slot*> all;
    for (const auto& s : slots_) all.push_back(s.get());
    return all;
}

void CameraFamily::rescan() const {
    if (!scanner_) return;
    std::vector<Slot*> gone;
    {
        std::lock_guard<std::mutex> scanning(scanMutex_);
        std::vector<ScannedCamera> found;
        try {
            found = scanner_->scan();
        } catch (...) {
            return;  // the list stays as it was
        }
        std::lock_guard<std::mutex> lock(slotsMutex_);
        std::vector<Slot*> listed;
        for (ScannedCamera& camera : found) {
            Slot* known = nullptr;
            for (const auto& s : slots_) {
                if (!s->identity.empty() && s->identity == camera.identity) known = s.get();
            }
            if (std::find(listed.begin(), listed.end(), known) != listed.end()) continue;
            if (known == nullptr) {
                if (!camera.camera || camera.identity.empty()) continue;
                slots_.push_back(std::make_unique<Slot>(std::move(camera.camera), previewWidth_));
                known = slots_.back().get();
                known->identity = camera.identity;
            }
            listed.push_back(known);
        }
        for (const auto& s : slots_) {
            if (!s->identity.empty() &&
                std::find(listed.begin(), listed.end(), s.get()) == listed.end())
                gone.push_back(s.get());
        }
        listed.insert(listed.end(), fixed_.begin(), fixed_.end());
        listed_ = std::move(listed);
    }
    // A camera that went away is closed (its capture thread has stopped by itself), so its
    // recording is finished and the node given back; no scan lock is held meanwhile. A slot
    // busy right now (being opened or closed by another call) is left to that call, or to the
    // next scan.
    for (Slot* s : gone) {
        std::unique_lock<std::mutex> lock(s->mutex, std::try_to_lock);
        if (lock.owns_lock() && s->open) s->closeLocked();
    }
}

int CameraFamily::init() { return kOk; }

int CameraFamily::uninit() {
    int result = kOk;
    for (Slot* s : allSlots()) {
        s->stream.reset();
        s->camera->setAutoCaptureActive(false);
        std::lock_guard<std::mutex> lock(s->mutex);
        if (!s->open) continue;
        // The device is given up whatever close() says; a later open() starts from scratch.
        const int status = s->closeLocked();
        if (status != kOk && result == kOk) result = status;
    }
    removeFinger_.store(false);
    return result;
}

int CameraFamily::listedCount() const {
    std::lock_guard<std::mutex> lock(slotsMutex_);
    return static_cast<int>(listed_.size());
}

int CameraFamily::count() const {
    rescan();
    std::lock_guard<std::mutex> lock(slotsMutex_);
    return static_cast<int>(listed_.size());
}

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
    if (s->open) s->closeLocked();
    s->stream.started();
    const int status = s->camera->open(mediaType, size);
    if (status == kOk) {
        s->open = true;
        int mediaType = 0;
        Resolution current;
        if (s->camera->current(mediaType, current) == kOk) s->stream.expectSize(current);
        // Auto capture that was started before survives a reopen.
        if (s->stream.autoCaptureActive()) s->camera->setAutoCaptureActive(true);
    } else {
        s->stream.stopped();
    }
    return status;
}

int CameraFamily::close(int dev) {
    Slot* s = slot(dev);
    if (s == nullptr) return kNoDevice;
    std::lock_guard<std::mutex> lock(s->mutex);
    if (!s->open) return kOk;
    return s->closeLocked();
}

int CameraFamily::setResolution(int dev, Resolution size) {
    Slot* s = slot(dev);
    if (s == nullptr) return kNoDevice;
    std::lock_guard<std::mutex> lock(s->mutex);
    if (!s->open) return kNoDevice;
    const int status = s->camera->setResolution(size);
    if (status == kOk) s->stream.expectSize(size);
    return status;
}

int CameraFamily::currentResolution(int dev, int& first, Resolution& size) const {
    Slot* s = slot(dev);
    if (s == nullptr) return kNoDevice;
    std::lock_guard<std::mutex> lock(s->mutex);
    if (!s->open) return kNoDevice;
    return s->camera->current(first, size);
}

int CameraFamily::setMediaType(int dev, int index) {
    Slot* s = slot(dev);
    if (s == nullptr) return kNoDevice;
    std::lock_guard<std::mutex> lock(s->mutex);
    if (!s->open) return kNoDevice;
    const int status = s->camera->setMediaType(index);
    int mediaType = 0;
    Resolution size;
    if (status == kOk && s->camera->current(mediaType, size) == kOk) s->stream.expectSize(size);
    return status;
}

int CameraFamily::setPreviewCallback(int dev, PreviewFrameCallback* callback) {
    Slot* s = slot(dev);
    if (s == nullptr) return kNoDevice;
    s->stream.setPreviewCallback(callback);
    return kOk;
}

int CameraFamily::capture(int dev, const std::string& path) {
    Slot* s = slot(dev);
    if (s == nullptr) return kNoDevice;
    return s->stream.capture(path);
}

int CameraFamily::captureBook(const std::string& firstPath, const std::string& secondPath) {
    std::vector<Slot*> listed;
    {
        std::lock_guard<std::mutex> lock(slotsMutex_);
        listed = listed_;
    }
    for (Slot* s : listed) {
        if (s->stream.streaming())
            return s->stream.captureBook(firstPath, secondPath, removeFinger_.load());
    }
    return kNoDevice;
}

int CameraFamily::setImageOption(int dev, const ImageOption& option) {
    Slot* s = slot(dev);
    if (s == nullptr) return kNoDevice;
    return s->stream.applyOption(option);
}

int CameraFamily::setRemoveFinger(int param) {
    if (listedCount() == 0) return kNoDevice;
    removeFinger_.store(param != 0);
    return kOk;
}

int CameraFamily::control(int dev, const DeviceControl& control) {
    Slot* s = slot(dev);
    if (s == nullptr) return kNoDevice;
    std::lock_guard<std::mutex> lock(s->mutex);
    return s->camera->control(control);
}

int CameraFamily::startAutoCapture(int dev, int type, int param, AutoCaptureCallback* callback) {
    Slot* s = slot(dev);
    if (s == nullptr) return kNoDevice;
    if (!s->stream.streaming()) return kNoDevice;
    const int status = s->stream.startAutoCapture(type, param, callback);
    if (status == kOk) s->camera->setAutoCaptureActive(true);
    return status;
}

int CameraFamily::stopAutoCapture(int dev) {
    Slot* s = slot(dev);
    if (s == nullptr) return kNoDevice;
    s->camera->setAutoCaptureActive(false);
    return s->stream.stopAutoCapture();
}

std::vector<std::string> CameraFamily::audioDevices() const {
    if (listedCount() == 0) return {};
    return listAudioDevices();
}

std::vector<std::string> CameraFamily::videoEncoders() const {
    if (listedCount() == 0) return {};
    return CameraStream::videoEncoders();
}

int CameraFamily::startRecord(int dev, const RecordRequest& request) {
    Slot* s = slot(dev);
    if (s == nullptr) return kNoDevice;
    return s->stream.startRecord(request, audioDevices());
}

int CameraFamily::stopRecord(int dev) {
    Slot* s = slot(dev);
    if (s == nullptr) return kNoDevice;
    return s->stream.stopRecord();
}

// The library has no windows of its own: a service without a desktop has nowhere to show them.
int CameraFamily::showSettingsWindow(int dev, SettingsWindow) {
    return slot(dev) != nullptr ? kNotSupported : kNoDevice;
}

int CameraFamily::latestFrame(int dev, Frame& frame) const {
    Slot* s = slot(dev);
    if (s == nullptr) return kNoDevice;
    return s->stream.latestFrame(frame);
}

bool CameraFamily::deliverPreviewFrame(int dev, uint8_t* pixels, int width, int height) {
    Slot* s = slot(dev);
    return s != nullptr && s->stream.deliverPreviewFrame(pixels, width, height);
}

bool CameraFamily::deliverAutoCaptureEvent(int dev, int event) {
    Slot* s = slot(dev);
    return s != nullptr && s->stream.deliverAutoCaptureEvent(event);
}

}  // namespace pictavo
