// A Motion-JPEG AVI file (RIFF AVI 1.0: hdrl, strl, movi, idx1), written frame by frame.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/file_writer.h"

namespace pictavo {

class AviWriter {
  public:
    using Clock = std::chrono::steady_clock;

    // An AVI 1.0 file keeps its sizes in 32 bits and many players stop at 1 GiB: a recording
    // stops taking frames before the file would grow past this.
    static constexpr uint64_t kMaxFileBytes = uint64_t{1} << 30;

    // `maxFileBytes` lowers the limit (for tests); it never rises above kMaxFileBytes.
    explicit AviWriter(uint64_t maxFileBytes = kMaxFileBytes)
        : maxFileBytes_(maxFileBytes < kMaxFileBytes ? maxFileBytes : kMaxFileBytes) {}
    ~AviWriter();
    AviWriter(const AviWriter&) = delete;
    AviWriter& operator=(const AviWriter&) = delete;

    // Creates (or truncates) `path`. With `silentAudio`, the file also carries a mono 16-bit
    // PCM sound track of silence at 16 kHz, kept as long as the video. kOk or kFileError.
    int open(const std::string& path, int width, int height, int framesPerSecond, bool silentAudio);
    // Appends one JPEG frame taken at `at`. kOk; kFileError once a write failed; kFailed when
    // the size limit was reached (the frame is left out, the file stays valid).
    int addFrame(const std::vector<uint8_t>& jpeg, Clock::time_point at);
    // Writes the index, fixes the headers up (with the frame rate measured from the frames'
    // times), closes the file and puts it in place at the path given to open(). kOk, or
    // kFileError when any write failed (then no file is left at the path) or frames had to be
    // left out at the size limit (the file is complete and playable all the same).
    int close();

    bool isOpen() const { return file_ != nullptr; }
    uint32_t frames() const { return frames_; }

  private:
    struct FileCloser {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    struct IndexEntry {
        uint32_t chunkId;
        uint32_t offset;
        uint32_t size;
    };

    bool writeChunk(uint32_t chunkId, const uint8_t* data, size_t size);
    bool writeSilence(uint64_t samples);
    bool patch(long offset, uint32_t value);

    uint64_t maxFileBytes_;
    std::unique_ptr<lenvaro::files::AtomicFile> output_;  // the file being written
    std::unique_ptr<std::FILE, FileCloser> file_;          // writes into output_
    int width_ = 0;
    int height_ = 0;
    int nominalFps_ = 15;
    bool audio_ = false;
    bool failed_ = false;     // a write failed
    bool truncated_ = false;  // frames were left out at the size limit
    uint64_t position_ = 0;   // bytes written so far
    uint32_t frames_ = 0;
    uint32_t largestChunk_ = 0;
    uint64_t audioSamples_ = 0;
    Clock::time_point first_{};
    Clock::time_point last_{};
    std::vector<IndexEntry> index_;
    // Offsets of the header fields fixed up at close.
    long moviListOffset_ = 0;
    long avihOffset_ = 0;
    long videoStrhOffset_ = 0;
    long audioStrhOffset_ = 0;
};

}  // namespace pictavo
