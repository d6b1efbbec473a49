// Writing Motion-JPEG AVI files.
#include "pictavo/camera/avi_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "common/file_writer.h"
#include "pictavo/status.h"

namespace pictavo {
namespace {

constexpr uint32_t fourcc(const char (&text)[5]) {
    return static_cast<uint32_t>(static_cast<uint8_t>(text[0])) |
           static_cast<uint32_t>(static_cast<uint8_t>(text[1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(text[2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(text[3])) << 24;
}

constexpr uint32_t kAvifHasIndex = 0x10;
constexpr uint32_t kAviifKeyframe = 0x10;
constexpr int kAudioRate = 16000;  // samples per second, mono, 16 bits
constexpr int kAudioBlock = 2;     // bytes per sample

// Little-endian header bytes, with the offsets of what is fixed up later.
struct Bytes {
    std::vector<uint8_t> data;
    void u32(uint32_t v) {
        for (int i = 0; i < 4; ++i) data.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    void u16(uint16_t v) {
        data.push_back(static_cast<uint8_t>(v));
        data.push_back(static_cast<uint8_t>(v >> 8));
    }
    long here() const { return static_cast<long>(data.size()); }
    void set32(long at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            data[static_cast<size_t>(at + i)] = static_cast<uint8_t>(v >> (8 * i));
    }
    // "LIST", its size (set by endList) and its type; returns where the size goes.
    long beginList(uint32_t type) {
        u32(fourcc("LIST"));
        const long sizeAt = here();
        u32(0);
        u32(type);
        return sizeAt;
    }
    void endList(long sizeAt) { set32(sizeAt, static_cast<uint32_t>(here() - sizeAt - 4)); }
    // A stream header chunk; returns where its fields start.
    long streamHeader(uint32_t type, uint32_t handler) {
        u32(fourcc("strh"));
        u32(56);
        const long fieldsAt = here();
        u32(type);
        u32(handler);
        return fieldsAt;
    }
};

}  // namespace

AviWriter::~AviWriter() {
    if (file_) close();
}

int AviWriter::open(const std::string& path, int width, int height, int framesPerSecond,
                    bool silentAudio) {
    if (file_ || width <= 0 || height <= 0) return kInvalidArgument;
    // The recording grows in the shared writer's new file beside `path` and takes its place
    // when it is closed (common/file_writer.h); a page never finds half a recording there.
    auto output = std::make_unique<lenvaro::files::AtomicFile>(path, lenvaro::files::FileAccess::Document);
    if (!output->ready()) return kFileError;
    const int fd = ::dup(output->descriptor());
    if (fd < 0) return kFileError;
    file_.reset(::fdopen(fd, "wb"));
    if (!file_) {
        ::close(fd);
        return kFileError;
    }
    output_ = std::move(output);
    width_ = width;
    height_ = height;
    nominalFps_ = std::max(1, framesPerSecond);
    audio_ = silentAudio;
    failed_ = truncated_ = false;
    position_ = 0;
    frames_ = 0;
    largestChunk_ = 0;
    audioSamples_ = 0;
    index_.clear();

    Bytes h;
    h.u32(fourcc("RIFF"));
    h.u32(0);  // file size - 8, fixed at close
    h.u32(fourcc("AVI "));

    const long hdrlSize = h.beginList(fourcc("hdrl"));

    h.u32(fourcc("avih"));
    h.u32(56);
    avihOffset_ = h.here();
    h.u32(static_cast<uint32_t>(1000000 / nominalFps_));  // microseconds per frame
    h.u32(0);                                             // max bytes per second
    h.u32(0);                                             // padding granularity
    h.u32(kAvifHasIndex);
    h.u32(0);  // total frames
    h.u32(0);  // initial frames
    h.u32(audio_ ? 2 : 1);
    h.u32(0);  // suggested buffer size
    h.u32(static_cast<uint32_t>(width_));
    h.u32(static_cast<uint32_t>(height_));
    for (int i = 0; i < 4; ++i) h.u32(0);

    // The video stream.
    const long videoStrl = h.beginList(fourcc("strl"));
    videoStrhOffset_ = h.streamHeader(fourcc("vids"), fourcc("MJPG"));
    h.u32(0);                                   // flags
    h.u16(0);                                   // priority
    h.u16(0);                                   // language
    h.u32(0);                                   // initial frames
    h.u32(1);                                   // scale
    h.u32(static_cast<uint32_t>(nominalFps_));  // rate: rate / scale frames per second
    h.u32(0);                                   // start
    h.u32(0);                                   // length in frames
    h.u32(0);                                   // suggested buffer size
    h.u32(0xFFFFFFFF);                          // quality: default
    h.u32(0);                                   // sample size: varies
    h.u16(0);
    h.u16(0);
    h.u16(static_cast<uint16_t>(std::min(width_, 0xFFFF)));
    h.u16(static_cast<uint16_t>(std::min(height_, 0xFFFF)));
    h.u32(fourcc("strf"));
    h.u32(40);  // BITMAPINFOHEADER
    h.u32(40);
    h.u32(static_cast<uint32_t>(width_));
    h.u32(static_cast<uint32_t>(height_));
    h.u16(1);   // planes
    h.u16(24);  // bits per pixel
    h.u32(fourcc("MJPG"));
    h.u32(static_cast<uint32_t>(width_) * static_cast<uint32_t>(height_) * 3);
    for (int i = 0; i < 4; ++i) h.u32(0);
    h.endList(videoStrl);

    if (audio_) {
        const long audioStrl = h.beginList(fourcc("strl"));
        audioStrhOffset_ = h.streamHeader(fourcc("auds"), 0);  // PCM needs no handler
        h.u32(0);
        h.u16(0);
        h.u16(0);
        h.u32(0);
        h.u32(kAudioBlock);               // scale
        h.u32(kAudioRate * kAudioBlock);  // rate: bytes per second
        h.u32(0);
        h.u32(0);  // length in samples
        h.u32(0);
        h.u32(0xFFFFFFFF);
        h.u32(kAudioBlock);  // sample size
        for (int i = 0; i < 4; ++i) h.u16(0);
        h.u32(fourcc("strf"));
        h.u32(18);  // WAVEFORMATEX
        h.u16(1);   // PCM
        h.u16(1);   // channels
        h.u32(kAudioRate);
        h.u32(kAudioRate * kAudioBlock);
        h.u16(kAudioBlock);
        h.u16(16);  // bits per sample
        h.u16(0);
        h.endList(audioStrl);
    }
    h.endList(hdrlSize);

    moviListOffset_ = h.beginList(fourcc("movi"));  // its size is fixed at close

    if (std::fwrite(h.data.data(), 1, h.data.size(), file_.get()) != h.data.size()) {
        file_.reset();
        output_.reset();
        return kFileError;
    }
    position_ = h.data.size();
    return kOk;
}

bool AviWriter::writeChunk(uint32_t chunkId, const uint8_t* data, size_t size) {
    const uint64_t padded = size + (size & 1);
    // Room for this chunk, the index entry of every chunk so far and this one.
    const uint64_t after = position_ + 8 + padded + 8 + 16 * (index_.size() + 1);
    if (after > maxFileBytes_) {
        truncated_ = true;
        return false;
    }
    Bytes header;
    header.u32(chunkId);
    header.u32(static_cast<uint32_t>(size));
    const uint8_t pad = 0;
    if (std::fwrite(header.data.data(), 1, 8, file_.get()) != 8 ||
        (size > 0 && std::fwrite(data, 1, size, file_.get()) != size) ||
        ((size & 1) != 0 && std::fwrite(&pad, 1, 1, file_.get()) != 1)) {
        failed_ = true;
        return false;
    }
    // Index offsets count from the "movi" four-character code.
    const uint64_t moviStart = static_cast<uint64_t>(moviListOffset_) + 4;
    index_.push_back(IndexEntry{chunkId, static_cast<uint32_t>(position_ - moviStart),
                                static_cast<uint32_t>(size)});
    position_ += 8 + padded;
    largestChunk_ = std::max(largestChunk_, static_cast<uint32_t>(size));
    return true;
}

bool AviWriter::writeSilence(uint64_t samples) {
    while (samples > 0) {
        const uint64_t now = std::min<uint64_t>(samples, kAudioRate);  // one second at most
        const std::vector<uint8_t> silence(static_cast<size_t>(now) * kAudioBlock, 0);
        if (!writeChunk(fourcc("01wb"), silence.data(), silence.size())) return false;
        audioSamples_ += now;
        samples -= now;
    }
    return true;
}

int AviWriter::addFrame(const std::vector<uint8_t>& jpeg, Clock::time_point at) {
    if (!file_) return kInvalidArgument;
    if (failed_) return kFileError;
    if (truncated_) return kFailed;
    if (!writeChunk(fourcc("00dc"), jpeg.data(), jpeg.size()))
        return failed_ ? kFileError : kFailed;
    if (frames_ == 0) first_ = at;
    last_ = at;
    ++frames_;
    if (audio_) {
        // Keep the sound as long as the video so far: up to the start of the next frame.
        const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(last_ - first_);
        const uint64_t due = static_cast<uint64_t>(elapsed.count()) * kAudioRate / 1000000 +
                             static_cast<uint64_t>(kAudioRate / nominalFps_);
        if (due > audioSamples_ && !writeSilence(due - audioSamples_))
            return failed_ ? kFileError : kFailed;
    }
    return kOk;
}

bool AviWriter::patch(long offset, uint32_t value) {
    Bytes bytes;
    bytes.u32(value);
    return std::fseek(file_.get(), offset, SEEK_SET) == 0 &&
           std::fwrite(bytes.data.data(), 1, 4, file_.get()) == 4;
}

int AviWriter::close() {
    if (!file_) return kInvalidArgument;
    bool ok = !failed_;
    const uint64_t moviEnd = position_;

    Bytes index;
    index.u32(fourcc("idx1"));
    index.u32(static_cast<uint32_t>(index_.size() * 16));
    for (const IndexEntry& entry : index_) {
        index.u32(entry.chunkId);
        index.u32(kAviifKeyframe);
        index.u32(entry.offset);
        index.u32(entry.size);
    }
    ok = std::fwrite(index.data.data(), 1, index.data.size(), file_.get()) == index.data.size() &&
         ok;
    const uint64_t end = moviEnd + index.data.size();

    // The frame period measured from the frames' times; the nominal rate with fewer than two.
    uint32_t period = static_cast<uint32_t>(1000000 / nominalFps_);
    if (frames_ >= 2) {
        const auto span = std::chrono::duration_cast<std::chrono::microseconds>(last_ - first_);
        period = static_cast<uint32_t>(
            std::max<int64_t>(1, span.count() / static_cast<int64_t>(frames_ - 1)));
    }
    const uint64_t bytesPerSecond =
        period > 0 ? static_cast<uint64_t>(largestChunk_) * 1000000 / period : 0;

    ok = patch(4, static_cast<uint32_t>(end - 8)) && ok;
    ok = patch(moviListOffset_, static_cast<uint32_t>(moviEnd - moviListOffset_ - 4)) && ok;
    ok = patch(avihOffset_, period) && ok;
    ok = patch(avihOffset_ + 4,
               static_cast<uint32_t>(std::min<uint64_t>(bytesPerSecond, 0xFFFFFFFF))) &&
         ok;
    ok = patch(avihOffset_ + 16, frames_) && ok;
    ok = patch(avihOffset_ + 28, largestChunk_ + 8) && ok;
    ok = patch(videoStrhOffset_ + 20, period) && ok;   // scale
    ok = patch(videoStrhOffset_ + 24, 1000000) && ok;  // rate
    ok = patch(videoStrhOffset_ + 32, frames_) && ok;  // length
    ok = patch(videoStrhOffset_ + 36, largestChunk_) && ok;
    if (audio_) {
        ok = patch(audioStrhOffset_ + 32, static_cast<uint32_t>(audioSamples_)) && ok;
        ok = patch(audioStrhOffset_ + 36, kAudioRate * kAudioBlock) && ok;
    }
    ok = std::fflush(file_.get()) == 0 && ok;
    ok = std::fclose(file_.release()) == 0 && ok;
    // A recording cut at the size limit is complete and playable, so it is kept (and still
    // reported); one whose writing failed is dropped whole.
    ok = ok && output_->commit();
    output_.reset();
    return ok && !truncated_ ? kOk : kFileError;
}

}  // namespace pictavo
