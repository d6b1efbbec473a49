// Recognising, reading and decoding picture files, and replacing output files whole.
#include "pictavo/imaging/picture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iterator>

#include <opencv2/imgproc.hpp>

#include "common/jpeg_codec.h"
#include "pictavo/imaging/bmp_codec.h"
#include "pictavo/imaging/png_codec.h"
#include "pictavo/status.h"

namespace pictavo {
namespace {

constexpr double kCentimetresPerInch = 2.54;

// Closes a descriptor when it goes out of scope.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    // Closes now, reporting whether the last writes reached the file.
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

  private:
    int fd_;
};

// JFIF densities: unit 1 is dots per inch, 2 dots per centimetre, 0 only an aspect ratio.
void jpegDensity(const lenvaro::jpeg::Info& header, double& xDpi, double& yDpi) {
    const double scale = header.densityUnit == 1   ? 1.0
                         : header.densityUnit == 2 ? kCentimetresPerInch
                                                   : 0.0;
    xDpi = header.xDensity * scale;
    yDpi = header.yDensity * scale;
}

int inspectJpeg(const std::vector<uint8_t>& bytes, PictureInfo& info) {
    lenvaro::jpeg::Info header;
    if (!lenvaro::jpeg::readInfo(bytes.data(), bytes.size(), header)) return kFileError;
    const uint64_t pixels =
        static_cast<uint64_t>(header.width) * static_cast<uint64_t>(header.height);
    if (pixels == 0 || pixels > kMaxPicturePixels) return kFileError;
    info.format = ImageFormat::kJpeg;
    info.width = header.width;
    info.height = header.height;
    jpegDensity(header, info.xDpi, info.yDpi);
    return kOk;
}

int decodeJpeg(const std::vector<uint8_t>& bytes, Picture& picture) {
    PictureInfo info;
    const int status = inspectJpeg(bytes, info);
    if (status != kOk) return status;
    lenvaro::jpeg::Image image;
    if (!lenvaro::jpeg::decode(bytes.data(), bytes.size(), image, nullptr, true)) return kFileError;
    picture.width = image.width;
    picture.height = image.height;
    picture.components = image.components;
    picture.xDpi = info.xDpi;
    picture.yDpi = info.yDpi;
    picture.pixels = std::move(image.pixels);
    return kOk;
}

}  // namespace

ImageFormat sniffFormat(const std::vector<uint8_t>& bytes) {
    if (bytes.size() >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF) {
        return ImageFormat::kJpeg;
    }
    static const uint8_t kPngSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (bytes.size() >= sizeof kPngSignature &&
        std::equal(std::begin(kPngSignature), std::end(kPngSignature), bytes.begin())) {
        return ImageFormat::kPng;
    }
    if (bytes.size() >= 2 && bytes[0] == 'B' && bytes[1] == 'M') return ImageFormat::kBmp;
    return ImageFormat::kUnknown;
}

int readPictureFile(const std::string& path, std::vector<uint8_t>& bytes) {
    bytes.clear();
    // O_NONBLOCK so that opening a FIFO cannot hang; only regular files are read.
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0) return kFileError;
    struct stat info {};
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return kFileError;
    if (static_cast<uint64_t>(info.st_size) > kMaxPictureFileBytes) return kFileError;
    bytes.resize(static_cast<size_t>(info.st_size));
    size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(file.get(), bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return kFileError;
        if (n == 0) break;  // the file shrank while we read it
        got += static_cast<size_t>(n);
    }
    bytes.resize(got);
    return kOk;
}

int inspectPicture(const std::vector<uint8_t>& bytes, PictureInfo& info) {
    info = PictureInfo{};
    switch (sniffFormat(bytes)) {
        case ImageFormat::kJpeg:
            return inspectJpeg(bytes, info);
        case ImageFormat::kPng:
            return inspectPng(bytes, info);
        case ImageFormat::kBmp:
            return inspectBmp(bytes, info);
        case ImageFormat::kUnknown:
            break;
    }
    return kNotSupported;
}

int decodePicture(const std::vector<uint8_t>& bytes, Picture& picture) {
    switch (sniffFormat(bytes)) {
        case ImageFormat::kJpeg:
            return decodeJpeg(bytes, picture);
        case ImageFormat::kPng:
            return decodePng(bytes, picture);
        case ImageFormat::kBmp:
            return decodeBmp(bytes, picture);
        case ImageFormat::kUnknown:
            break;
    }
    return kNotSupported;
}

void expandToRgb(Picture& picture) {
    if (picture.components != 1 || picture.pixels.empty()) return;
    std::vector<uint8_t> rgb(picture.pixels.size() * 3);
    const cv::Mat grey(picture.height, picture.width, CV_8UC1, picture.pixels.data());
    cv::Mat colour(picture.height, picture.width, CV_8UC3, rgb.data());
    cv::cvtColor(grey, colour, cv::COLOR_GRAY2RGB);
    picture.pixels = std::move(rgb);
    picture.components = 3;
}

}  // namespace pictavo
