// The camera state GET /status reports.
#include "camera/camera_status.h"

namespace lenvaro {
namespace {

std::string number(int64_t value) { return std::to_string(value); }

std::string cropBoxJson(const CropRect& box) {
    if (box == CropRect{}) return "null";
    return "{\"left\":" + number(box.left) + ",\"top\":" + number(box.top) +
           ",\"right\":" + number(box.right) + ",\"bottom\":" + number(box.bottom) + "}";
}

}  // namespace

void CameraStatus::opened(int32_t device, int32_t mediaType, int32_t width, int32_t height) {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = OpenCamera{device, mediaType, width, height};
    frameSize_ = 0;
}

void CameraStatus::closed(int32_t device) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (open_ && open_->device == device) open_.reset();
    if (recordingDevice_ == device) recordingDevice_.reset();
}

void CameraStatus::mediaTypeSet(int32_t device, int32_t mediaType) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (open_ && open_->device == device) open_->mediaType = mediaType;
}

void CameraStatus::resolutionSet(int32_t device, int32_t width, int32_t height) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_ || open_->device != device) return;
    open_->width = width;
    open_->height = height;
    frameSize_ = 0;
}

void CameraStatus::rotationSet(int32_t device, int32_t rotateMode) {
    std::lock_guard<std::mutex> lock(mutex_);
    settings_[device].rotation = rotateMode;
}

void CameraStatus::autoCropSet(int32_t device, int32_t cropType) {
    std::lock_guard<std::mutex> lock(mutex_);
    Settings& settings = settings_[device];
    settings.cropType = cropType;
    settings.cropBox = CropRect{};
}

void CameraStatus::customCropSet(int32_t device, const CropRect& box) {
    std::lock_guard<std::mutex> lock(mutex_);
    Settings& settings = settings_[device];
    settings.cropBox = box;
    if (!(box == CropRect{})) settings.cropType = 0;
}

void CameraStatus::libraryReleased() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_.reset();
    settings_.clear();
    recordingDevice_.reset();
    autoCaptureDevice_.reset();
}

void CameraStatus::recordingStarted(int32_t device, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    recordingDevice_ = device;
    recordingSince_ = now;
}

void CameraStatus::recordingStopped() {
    std::lock_guard<std::mutex> lock(mutex_);
    recordingDevice_.reset();
}

void CameraStatus::autoCaptureStarted(int32_t device) {
    std::lock_guard<std::mutex> lock(mutex_);
    autoCaptureDevice_ = device;
}

void CameraStatus::autoCaptureStopped() {
    std::lock_guard<std::mutex> lock(mutex_);
    autoCaptureDevice_.reset();
}

void CameraStatus::pdfPictureAdded() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++pdfPictures_;
}

void CameraStatus::pdfListCombined() {
    std::lock_guard<std::mutex> lock(mutex_);
    pdfPictures_ = 0;
}

void CameraStatus::frameArrived(int width, int height) {
    const uint64_t size = (static_cast<uint64_t>(static_cast<uint32_t>(width)) << 32) | static_cast<uint32_t>(height);
    // Most frames are the size of the one before: no write, no cache line bounced.
    if (frameSize_.load(std::memory_order_relaxed) != size) frameSize_.store(size, std::memory_order_relaxed);
}

std::string CameraStatus::jsonMembers(int32_t previewWidth, int32_t autoCaptured,
                                      Clock::time_point now) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string json = "\"cameras\":[";
    if (open_) {
        int64_t width = open_->width;
        int64_t height = open_->height;
        if (const uint64_t frame = frameSize_.load(std::memory_order_relaxed); frame != 0) {
            width = static_cast<int64_t>(frame >> 32);
            height = static_cast<int64_t>(frame & 0xFFFFFFFFu);
        }
        const auto found = settings_.find(open_->device);
        const Settings settings = found == settings_.end() ? Settings{} : found->second;
        json += "{\"device\":" + number(open_->device) + ",\"mediaType\":" + number(open_->mediaType) +
                ",\"width\":" + number(width) + ",\"height\":" + number(height) +
                ",\"rotation\":" + number(settings.rotation) + ",\"cropType\":" + number(settings.cropType) +
                ",\"cropBox\":" + cropBoxJson(settings.cropBox) + "}";
    }
    json += "],\"previewWidth\":" + number(previewWidth) + ",\"recording\":";
    if (recordingDevice_) {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - recordingSince_).count();
        json += "{\"device\":" + number(*recordingDevice_) + ",\"seconds\":" + number(seconds) + "}";
    } else {
        json += "null";
    }
    json += ",\"autoCapture\":";
    if (autoCaptureDevice_) {
        json += "{\"device\":" + number(*autoCaptureDevice_) + ",\"captured\":" + number(autoCaptured) + "}";
    } else {
        json += "null";
    }
    json += ",\"pdfList\":" + number(pdfPictures_);
    return json;
}

}  // namespace lenvaro
