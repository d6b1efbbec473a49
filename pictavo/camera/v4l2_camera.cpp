// V4L2 cameras: opening, memory-mapped streaming on a capture thread, controls.
#include "pictavo/camera/v4l2_camera.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>

#include "pictavo/camera/v4l2_frame_converter.h"
#include "pictavo/status.h"

namespace pictavo {
namespace {

bool gone(int error) { return error == ENODEV || error == ENOENT || error == ENXIO; }

// A driver that keeps failing to hand out frames without saying it is gone is treated as gone
// after this many failures in a row, rather than spinning.
constexpr int kMaxFailuresInRow = 50;
// A stream that fails again right after being restarted, this many times without a frame in
// between, will not recover by itself: the camera is given up as lost.
constexpr int kMaxRestartsInRow = 3;

v4l2_buffer mmapBuffer(unsigned index = 0) {
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.index = index;
    return buffer;
}

// The preview and captures gain nothing from more frames than this; each one costs a
// conversion and a JPEG.
constexpr uint32_t kMaxFramesPerSecond = 30;

// Sets the fastest frame rate the driver offers for the format and size, up to
// kMaxFramesPerSecond. Drivers keep whatever rate was set last (by another program, or for
// another size: vivid lowers it for large sizes and keeps it lowered), so it is set at every
// start. Nothing changes where the driver cannot say or set a rate.
void chooseFrameRate(V4l2Handle& handle, uint32_t pixelFormat, uint32_t width, uint32_t height) {
    v4l2_streamparm parameters{};
    parameters.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (handle.control(VIDIOC_G_PARM, &parameters) != 0 ||
        (parameters.parm.capture.capability & V4L2_CAP_TIMEPERFRAME) == 0)
        return;
    // The chosen interval as a fraction of a second: `numerator` / `denominator`.
    v4l2_fract best{0, 0};
    const auto faster = [](v4l2_fract a, v4l2_fract b) {  // a is a shorter interval than b
        return static_cast<uint64_t>(a.numerator) * b.denominator <
               static_cast<uint64_t>(b.numerator) * a.denominator;
    };
    const v4l2_fract fastestWanted{1, kMaxFramesPerSecond};
    for (uint32_t index = 0; index < 64; ++index) {
        v4l2_frmivalenum interval{};
        interval.index = index;
        interval.pixel_format = pixelFormat;
        interval.width = width;
        interval.height = height;
        if (handle.control(VIDIOC_ENUM_FRAMEINTERVALS, &interval) != 0) break;
        if (interval.type != V4L2_FRMIVAL_TYPE_DISCRETE) {
            // A range: its shortest interval, or the wanted rate when that lies inside it.
            const v4l2_frmival_stepwise& range = interval.stepwise;
            if (range.min.numerator == 0 || range.min.denominator == 0) break;
            if (!faster(range.min, fastestWanted)) {
                best = range.min;
            } else if (faster(range.max, fastestWanted)) {
                best = range.max;
            } else {
                best = fastestWanted;
            }
            break;
        }
        const v4l2_fract offered = interval.discrete;
        if (offered.numerator == 0 || offered.denominator == 0 || faster(offered, fastestWanted))
            continue;
        if (best.denominator == 0 || faster(offered, best)) best = offered;
    }
    if (best.denominator == 0) return;
    parameters.parm.capture.timeperframe = best;
    handle.control(VIDIOC_S_PARM, &parameters);
}

// ---- controls -------------------------------------------------------------------------------

// A control the device offers and may be set now; false when it has none (or it is disabled).
bool queryControl(V4l2Handle& handle, uint32_t id, v4l2_queryctrl& query) {
    query = v4l2_queryctrl{};
    query.id = id;
    if (handle.control(VIDIOC_QUERYCTRL, &query) != 0) return false;
    return (query.flags & V4L2_CTRL_FLAG_DISABLED) == 0;
}

int setControl(V4l2Handle& handle, uint32_t id, int32_t value) {
    v4l2_control control{};
    control.id = id;
    control.value = value;
    const int error = handle.control(VIDIOC_S_CTRL, &control);
    if (error == 0) return kOk;
    if (error == EINVAL || error == ERANGE) return kInvalidArgument;
    return statusOfErrno(error);
}

// One video parameter of the C interface (para1, para2) as V4L2 controls: the value, and the
// control that switches the device's own automatic for it (0: none).
struct ParameterControls {
    uint32_t value;
    uint32_t automatic;
};
constexpr uint32_t kNoControl = 0;
// para1 0: brightness, contrast, hue, saturation, sharpness, gamma, white balance, backlight
// compensation, gain.
constexpr ParameterControls kPictureControls[] = {
    {V4L2_CID_BRIGHTNESS, kNoControl},
    {V4L2_CID_CONTRAST, kNoControl},
    {V4L2_CID_HUE, V4L2_CID_HUE_AUTO},
    {V4L2_CID_SATURATION, kNoControl},
    {V4L2_CID_SHARPNESS, kNoControl},
    {V4L2_CID_GAMMA, kNoControl},
    {V4L2_CID_WHITE_BALANCE_TEMPERATURE, V4L2_CID_AUTO_WHITE_BALANCE},
    {V4L2_CID_BACKLIGHT_COMPENSATION, kNoControl},
    {V4L2_CID_GAIN, V4L2_CID_AUTOGAIN},
};
// para1 1: pan, tilt, roll (V4L2 has no roll), zoom, exposure, iris, focus.
constexpr ParameterControls kCameraControls[] = {
    {V4L2_CID_PAN_ABSOLUTE, kNoControl},
    {V4L2_CID_TILT_ABSOLUTE, kNoControl},
    {kNoControl, kNoControl},
    {V4L2_CID_ZOOM_ABSOLUTE, kNoControl},
    {V4L2_CID_EXPOSURE_ABSOLUTE, V4L2_CID_EXPOSURE_AUTO},
    {V4L2_CID_IRIS_ABSOLUTE, kNoControl},
    {V4L2_CID_FOCUS_ABSOLUTE, V4L2_CID_FOCUS_AUTO},
};

const ParameterControls* parameterControls(int para1, int para2) {
    if (para1 == 0 && para2 >= 0 && para2 < static_cast<int>(std::size(kPictureControls)))
        return &kPictureControls[para2];
    if (para1 == 1 && para2 >= 0 && para2 < static_cast<int>(std::size(kCameraControls)))
        return &kCameraControls[para2];
    return nullptr;
}

// Switches a device automatic on or off. Exposure is a menu: manual, or the automatic modes
// (UVC cameras mostly offer aperture priority rather than full automatic).
int setAutomatic(V4l2Handle& handle, uint32_t id, bool on) {
    if (id != V4L2_CID_EXPOSURE_AUTO) return setControl(handle, id, on ? 1 : 0);
    if (!on) return setControl(handle, id, V4L2_EXPOSURE_MANUAL);
    if (setControl(handle, id, V4L2_EXPOSURE_APERTURE_PRIORITY) == kOk) return kOk;
    return setControl(handle, id, V4L2_EXPOSURE_AUTO);
}

struct ControlVisitor {
    V4l2Handle& handle;

    int operator()(const device_control::VideoParameter& p) const {
        const ParameterControls* controls = parameterControls(p.para1, p.para2);
        if (controls == nullptr || (p.flag != 1 && p.flag != 2)) return kInvalidArgument;
        v4l2_queryctrl value{};
        v4l2_queryctrl automatic{};
        const bool hasValue =
            controls->value != kNoControl && queryControl(handle, controls->value, value);
        const bool hasAutomatic = controls->automatic != kNoControl &&
                                  queryControl(handle, controls->automatic, automatic);
        if (p.flag == 1) {
            // Automatic: the device's own automatic when it has one, else the control's
            // default value.
            if (hasAutomatic) return setAutomatic(handle, controls->automatic, true);
            if (hasValue) return setControl(handle, controls->value, value.default_value);
            return kNotSupported;
        }
        if (!hasValue) return kNotSupported;
        if (p.value < value.minimum || p.value > value.maximum) return kInvalidArgument;
        if (hasAutomatic) {
            const int status = setAutomatic(handle, controls->automatic, false);
            if (status != kOk) return status;
        }
        return setControl(handle, controls->value, p.value);
    }

    int operator()(const device_control::AutoFocus& f) const {
        v4l2_queryctrl query{};
        switch (f.type) {
            case 0:  // focus once, now
                if (!queryControl(handle, V4L2_CID_AUTO_FOCUS_START, query)) return kNotSupported;
                return setControl(handle, V4L2_CID_AUTO_FOCUS_START, 1);
            case 1:  // keep focusing
                if (!queryControl(handle, V4L2_CID_FOCUS_AUTO, query)) return kNotSupported;
                return setControl(handle, V4L2_CID_FOCUS_AUTO, 1);
            case 2:  // stop focusing
                if (queryControl(handle, V4L2_CID_FOCUS_AUTO, query))
                    return setControl(handle, V4L2_CID_FOCUS_AUTO, 0);
                if (queryControl(handle, V4L2_CID_AUTO_FOCUS_STOP, query))
                    return setControl(handle, V4L2_CID_AUTO_FOCUS_STOP, 1);
                return kNotSupported;
            default:
                return kInvalidArgument;
        }
    }

    // UVC has no buzzer.
    int operator()(const device_control::Buzzer&) const { return kNotSupported; }
};

}  // namespace

int statusOfErrno(int error) {
    if (error == EACCES || error == EPERM) return kFileError;
    if (gone(error)) return kNoDevice;
    return kFailed;
}

// One streaming run of the device: its node, its mapped buffers, the stream switched on.
// Everything is given back by the destructor, in the order the driver wants it.
struct V4l2Camera::Session {
    std::unique_ptr<V4l2Handle> handle;
    std::vector<MappedBuffer> buffers;  // unmapped before the node closes
    bool requested = false;             // driver buffers allocated
    bool streaming = false;
    uint32_t pixelFormat = 0;
    int width = 0;
    int height = 0;
    uint32_t bytesPerLine = 0;
    YuvEncoding encoding;  // range and matrix of Y'CbCr frames, as the driver states them
    // The capture thread's own.
    V4l2FrameConverter converter;
    Frame frame;

    ~Session() {
        if (!handle) return;
        if (streaming) {
            int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            handle->control(VIDIOC_STREAMOFF, &type);
        }
        buffers.clear();
        if (requested) {
            v4l2_requestbuffers none{};
            none.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            none.memory = V4L2_MEMORY_MMAP;
            handle->control(VIDIOC_REQBUFS, &none);
        }
    }
};

V4l2Camera::V4l2Camera(V4l2NodeInfo node, std::shared_ptr<V4l2Io> io)
    : node_(std::move(node)), io_(std::move(io)), formats_(node_.formats) {}

V4l2Camera::~V4l2Camera() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopSession();
    if (thread_.joinable()) {
        // Only the capture thread itself can get here with its thread still running (it cannot
        // join itself); it must not find its session freed under it.
        thread_.detach();
        session_.release();  // NOLINT(bugprone-unused-return-value): kept for that thread
    }
}

CameraInfo V4l2Camera::info() const {
    CameraInfo info;
    info.name = node_.name;
    info.type = 1;  // a document camera, as far as anyone can tell
    info.pid = node_.productId;
    info.vid = node_.vendorId;
    info.serial = node_.serial;
    return info;
}

std::vector<MediaType> V4l2Camera::mediaTypes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<MediaType> types;
    for (const V4l2Format& format : formats_) types.push_back(format.mediaType);
    return types;
}

bool V4l2Camera::listed(int mediaType, Resolution size) const {
    if (mediaType < 0 || static_cast<size_t>(mediaType) >= formats_.size()) return false;
    const auto& sizes = formats_[static_cast<size_t>(mediaType)].mediaType.resolutions;
    return std::find(sizes.begin(), sizes.end(), size) != sizes.end();
}

int V4l2Camera::open(int mediaType, Resolution size) {
    std::lock_guard<std::mutex> lock(mutex_);
    stopSession();
    if (thread_.joinable()) return kFailed;  // reopened from its own capture thread
    if (formats_.empty()) {
        // The node could not be opened when it was found (no permission): ask again, so the
        // caller learns why, or gets the camera once the permission is there.
        int error = 0;
        std::unique_ptr<V4l2Handle> handle = io_->open(node_.devicePath, error);
        if (!handle) return statusOfErrno(error);
        formats_ = queryFormats(*handle);
        if (formats_.empty()) return kNotSupported;
    }
    if (mediaType < 0 || static_cast<size_t>(mediaType) >= formats_.size())
        return kInvalidArgument;
    const auto& sizes = formats_[static_cast<size_t>(mediaType)].mediaType.resolutions;
    if (size.width == 0 && size.height == 0) size = sizes.front();
    if (!listed(mediaType, size)) return kInvalidArgument;
    return startSession(mediaType, size);
}

int V4l2Camera::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopSession();
    return kOk;
}

int V4l2Camera::startSession(int mediaType, Resolution size) {
    auto session = std::make_unique<Session>();
    int error = 0;
    session->handle = io_->open(node_.devicePath, error);
    if (!session->handle) return statusOfErrno(error);
    V4l2Handle& handle = *session->handle;

    const uint32_t wanted = formats_[static_cast<size_t>(mediaType)].pixelFormat;
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.width = static_cast<uint32_t>(size.width);
    format.fmt.pix.height = static_cast<uint32_t>(size.height);
    format.fmt.pix.pixelformat = wanted;
    format.fmt.pix.field = V4L2_FIELD_ANY;
    if ((error = handle.control(VIDIOC_S_FMT, &format)) != 0) return statusOfErrno(error);
    if (format.fmt.pix.pixelformat != wanted || format.fmt.pix.width == 0 ||
        format.fmt.pix.height == 0 || format.fmt.pix.width > 16384 ||
        format.fmt.pix.height > 16384)
        return kNotSupported;
    session->pixelFormat = wanted;
    session->encoding = yuvEncodingOf(format.fmt.pix);
    session->width = static_cast<int>(format.fmt.pix.width);
    session->height = static_cast<int>(format.fmt.pix.height);
    session->bytesPerLine = format.fmt.pix.bytesperline;
    chooseFrameRate(handle, wanted, format.fmt.pix.width, format.fmt.pix.height);

    v4l2_requestbuffers request{};
    request.count = kBuffers;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if ((error = handle.control(VIDIOC_REQBUFS, &request)) != 0) return statusOfErrno(error);
    session->requested = true;
    if (request.count < 2) return kFailed;
    for (unsigned i = 0; i < request.count; ++i) {
        v4l2_buffer buffer = mmapBuffer(i);
        if ((error = handle.control(VIDIOC_QUERYBUF, &buffer)) != 0) return statusOfErrno(error);
        void* address = handle.map(buffer.length, buffer.m.offset);
        if (address == nullptr) return kFailed;
        session->buffers.emplace_back(&handle, address, buffer.length);
    }
    for (unsigned i = 0; i < request.count; ++i) {
        v4l2_buffer buffer = mmapBuffer(i);
        if ((error = handle.control(VIDIOC_QBUF, &buffer)) != 0) return statusOfErrno(error);
    }
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if ((error = handle.control(VIDIOC_STREAMON, &type)) != 0) return statusOfErrno(error);
    session->streaming = true;

    stop_.store(false);
    lost_.store(false);
    Session* running = session.get();
    session_ = std::move(session);
    try {
        thread_ = std::thread(&V4l2Camera::run, this, running);
    } catch (...) {
        session_.reset();
        return kFailed;
    }
    mediaType_ = mediaType;
    size_ = {running->width, running->height};
    running_ = true;
    return kOk;
}

void V4l2Camera::stopSession() {
    running_ = false;
    stop_.store(true);
    if (thread_.joinable()) {
        // The capture thread stopping its own camera (from inside a callback) cannot wait for
        // itself: it ends after this frame, and the next open() or the destructor joins it.
        if (thread_.get_id() == std::this_thread::get_id()) return;
        thread_.join();
    }
    session_.reset();
}

int V4l2Camera::restart(int mediaType, Resolution size) {
    if (thread_.joinable() && thread_.get_id() == std::this_thread::get_id()) return kFailed;
    const int previousType = mediaType_;
    const Resolution previousSize = size_;
    stopSession();
    const int status = startSession(mediaType, size);
    if (status == kOk) return kOk;
    // The device keeps streaming as it was when the new setting fails; when it cannot (it went
    // away, or refuses that too), the stream learns that no frame will come.
    if (status == kNoDevice || startSession(previousType, previousSize) != kOk) {
        FrameSink* sink = sink_.load();
        if (sink != nullptr) sink->onDeviceLost();
    }
    return status;
}

int V4l2Camera::setResolution(Resolution size) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_ || lost_.load()) return kNoDevice;
    if (!listed(mediaType_, size)) return kInvalidArgument;
    if (size == size_) return kOk;
    return restart(mediaType_, size);
}

int V4l2Camera::setMediaType(int index) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_ || lost_.load()) return kNoDevice;
    if (index < 0 || static_cast<size_t>(index) >= formats_.size()) return kInvalidArgument;
    const auto& sizes = formats_[static_cast<size_t>(index)].mediaType.resolutions;
    const Resolution size = listed(index, size_) ? size_ : sizes.front();
    if (index == mediaType_ && size == size_) return kOk;
    return restart(index, size);
}

int V4l2Camera::current(int& mediaType, Resolution& size) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_) return kNoDevice;
    mediaType = mediaType_;
    size = size_;
    return kOk;
}

int V4l2Camera::control(const DeviceControl& control) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_ && lost_.load()) return kNoDevice;
    // Controls go to the streaming node when there is one (ioctls from two threads on one node
    // are fine), else to the node opened for this call alone.
    std::unique_ptr<V4l2Handle> own;
    V4l2Handle* handle = session_ && running_ ? session_->handle.get() : nullptr;
    if (handle == nullptr) {
        int error = 0;
        own = io_->open(node_.devicePath, error);
        if (!own) return statusOfErrno(error);
        handle = own.get();
    }
    return std::visit(ControlVisitor{*handle}, control);
}

bool V4l2Camera::restartStream(Session& session) {
    V4l2Handle& handle = *session.handle;
    // Stopping the stream clears the driver's error and hands every buffer back to us; all of
    // them go to the driver again before the stream restarts.
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (handle.control(VIDIOC_STREAMOFF, &type) != 0) return false;
    for (unsigned i = 0; i < session.buffers.size(); ++i) {
        v4l2_buffer buffer = mmapBuffer(i);
        if (handle.control(VIDIOC_QBUF, &buffer) != 0) return false;
    }
    if (handle.control(VIDIOC_STREAMON, &type) != 0) return false;
    restarts_.fetch_add(1);
    return true;
}

void V4l2Camera::run(Session* session) {
    V4l2Handle& handle = *session->handle;
    int failuresInRow = 0;
    int restartsInRow = 0;
    const auto lose = [this] {
        lost_.store(true);
        FrameSink* sink = sink_.load();
        if (sink != nullptr) sink->onDeviceLost();
    };
    // The driver's stream failed while the device is still there (a transfer error, say): every
    // DQBUF answers EIO until the stream is stopped. It is restarted, a few times at most.
    const auto recover = [&] {
        return ++restartsInRow <= kMaxRestartsInRow && restartStream(*session);
    };
    while (!stop_.load()) {
        const int ready = handle.waitReadable(kPollMs);
        if (ready == -EIO) {
            if (!recover()) return lose();
            continue;
        }
        if (ready < 0) return lose();
        if (ready == 0) continue;

        // Take every filled buffer and keep only the newest: older frames go straight back to
        // the driver, so a slow consumer sees fewer frames but never stale ones, and nothing
        // queues up.
        bool have = false;
        v4l2_buffer newest{};
        for (;;) {
            v4l2_buffer buffer = mmapBuffer();
            const int error = handle.control(VIDIOC_DQBUF, &buffer);
            if (error == EAGAIN) break;
            if (error != 0) {
                if (gone(error)) return lose();
                if (error == EIO) {
                    if (!recover()) return lose();
                    have = false;  // the restart gave every buffer to the driver again
                } else {
                    ++failuresInRow;
                }
                break;
            }
            // A buffer the driver marks as damaged goes straight back, unseen; an older good
            // one stays the newest.
            if ((buffer.flags & V4L2_BUF_FLAG_ERROR) != 0 || buffer.index >= session->buffers.size()) {
                damaged_.fetch_add(1);
                if (gone(handle.control(VIDIOC_QBUF, &buffer))) return lose();
                continue;
            }
            if (have) {
                const int requeued = handle.control(VIDIOC_QBUF, &newest);
                if (gone(requeued)) return lose();
                dropped_.fetch_add(1);
            }
            newest = buffer;
            have = true;
        }
        if (!have) {
            if (failuresInRow >= kMaxFailuresInRow) return lose();
            continue;
        }
        failuresInRow = 0;
        deliver(*session, newest.index, newest.bytesused);
        restartsInRow = 0;
        const int requeued = handle.control(VIDIOC_QBUF, &newest);
        if (gone(requeued)) return lose();
    }
}

void V4l2Camera::deliver(Session& session, unsigned index, uint32_t bytesUsed) {
    const MappedBuffer& buffer = session.buffers[index];
    const size_t size = bytesUsed == 0 ? buffer.size() : std::min<size_t>(bytesUsed, buffer.size());
    // Nothing may leave the thread (it would end the process): a frame that fails, for want of
    // memory say, is skipped.
    try {
        if (!session.converter.convert(session.pixelFormat, session.width, session.height,
                                       session.bytesPerLine, buffer.data(), size, session.frame,
                                       session.encoding))
            return;
        // Counted before the hand-over, so whoever the sink wakes already sees the count.
        delivered_.fetch_add(1);
        FrameSink* sink = sink_.load();
        if (sink != nullptr) sink->onFrame(session.frame);
    } catch (...) {
        session.frame = Frame{};
    }
}

}  // namespace pictavo
