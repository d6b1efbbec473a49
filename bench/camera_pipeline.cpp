// What the camera pipeline costs against its floors, each measured in the same run with the path
// and floor calls interleaved (so the machine's load weighs on both alike):
//   1. a capture with automatic crop and deskew of a 2592x1944 photo vs the same capture without
//      crop (and before it the first such capture after start vs the next ones);
//   2. a Motion-JPEG frame to preview pixels vs a bare libjpeg-turbo decode at the same scale;
//   3. a YUYV frame to B,G,R vs a bare OpenCV cvtColor;
//   4. a capture (default settings) vs a bare libjpeg-turbo encode of the same picture;
//   5. the CPU share of a simulated 5 MP Motion-JPEG camera previewing at 15 fps through the
//      real V4L2 frame path (the V4L2 tests' scripted device fed with a recorded frame).
// Usage: bench_camera_pipeline [rounds [crop|first]]. Build Release to measure.
#include <linux/videodev2.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "common/jpeg_codec.h"
#include "document_photos.h"
#include "pictavo/camera/camera_family.h"
#include "pictavo/camera/capture_pipeline.h"
#include "pictavo/camera/frame_decoding.h"
#include "pictavo/camera/image_ops.h"
#include "pictavo/camera/v4l2_camera.h"
#include "pictavo/camera/v4l2_frame_converter.h"
#include "pictavo/status.h"
#include "process_cpu.h"
#include "v4l2_fake_device.h"

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

namespace {

using namespace pictavo;
using Clock = std::chrono::steady_clock;

double millisecondsOf(const std::function<void()>& work) {
    const auto start = Clock::now();
    work();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double threadCpuMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Runs path and floor alternately `rounds` times; prints both medians and their ratio.
void compare(const char* label, int rounds, const std::function<void()>& path,
             const std::function<void()>& floor, double goal) {
    path();
    floor();
    std::vector<double> pathTimes, floorTimes;
    for (int i = 0; i < rounds; ++i) {
        pathTimes.push_back(millisecondsOf(path));
        floorTimes.push_back(millisecondsOf(floor));
    }
    const double p = median(pathTimes), f = median(floorTimes);
    std::printf("%-44s path %8.2f ms  floor %8.2f ms  %5.2fx  (goal <= %.1fx: %s)\n", label, p, f,
                p / f, goal, p / f <= goal ? "met" : "MISSED");
}

// The floor of a capture: libjpeg-turbo alone, into memory, at the capture's quality.
size_t bareEncode(const cv::Mat& bgr, int quality) {
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = static_cast<JDIMENSION>(bgr.cols);
    info.image_height = static_cast<JDIMENSION>(bgr.rows);
    info.input_components = 3;
    info.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    jpeg_start_compress(&info, TRUE);
    std::vector<JSAMPROW> rows(static_cast<size_t>(bgr.rows));
    for (int y = 0; y < bgr.rows; ++y) rows[static_cast<size_t>(y)] = const_cast<uint8_t*>(bgr.ptr(y));
    while (info.next_scanline < info.image_height)
        jpeg_write_scanlines(&info, rows.data() + info.next_scanline,
                             info.image_height - info.next_scanline);
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::free(buffer);
    return size;
}

// The floor of a preview frame: libjpeg-turbo alone, decoding at 1/`denominator` into B,G,R
// (`fast`: with the faster inverse DCT and without smoothing the colour, as the preview does).
void bareDecode(const std::vector<uint8_t>& jpeg, int denominator, std::vector<uint8_t>& out,
                bool fast = false) {
    jpeg_decompress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&info, TRUE);
    info.scale_num = 1;
    info.scale_denom = static_cast<unsigned>(denominator);
    info.out_color_space = JCS_EXT_BGR;
    if (fast) {
        info.dct_method = JDCT_IFAST;
        info.do_fancy_upsampling = FALSE;
    }
    jpeg_start_decompress(&info);
    const size_t rowBytes = static_cast<size_t>(info.output_width) * 3;
    out.resize(rowBytes * info.output_height);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = out.data() + rowBytes * info.output_scanline;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
}


// A 5 MP Motion-JPEG camera on the scripted V4L2 device, fed `frame` at 15 fps for `seconds`,
// with a preview callback registered: the library's share of one core.
double previewCpuShare(const std::vector<uint8_t>& frame, int seconds, int previewWidth) {
    auto io = std::make_shared<pictavo_test::FakeV4l2Io>();
    auto device = std::make_shared<pictavo_test::FakeV4l2Device>();
    device->formats = {{V4L2_PIX_FMT_MJPEG, {{2592, 1944}}}};
    io->devices["/dev/video0"] = device;
    V4l2NodeInfo node;
    node.devicePath = "/dev/video0";
    node.name = "Recorded 5 MP camera";
    node.identity = "video0";
    {
        pictavo_test::FakeHandle handle(device);
        node.formats = queryFormats(handle);
    }
    std::vector<std::unique_ptr<Camera>> cameras;
    cameras.push_back(std::make_unique<V4l2Camera>(node, io));
    CameraFamily family(std::move(cameras), nullptr, previewWidth);
    family.setPreviewCallback(0, ignoreFrame);
    if (family.open(0, 0, {2592, 1944}) != kOk || !device->waitStreaming()) return -1;
    const auto period = std::chrono::microseconds(1000000 / 15);
    auto next = Clock::now();
    // Half a second to settle, then the measured stretch.
    const auto feedUntil = [&](Clock::time_point end) {
        while (Clock::now() < end) {
            device->produce(frame);
            next += period;
            std::this_thread::sleep_until(next);
        }
    };
    feedUntil(Clock::now() + std::chrono::milliseconds(500));
    const double cpuBefore = processCpuSeconds();
    const auto start = Clock::now();
    feedUntil(start + std::chrono::seconds(seconds));
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = processCpuSeconds() - cpuBefore;
    family.close(0);
    return 100.0 * cpu / wall;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 15;
    const cv::Size fiveMegapixels(2592, 1944);
    pictavo_test::PhotoSpec spec = pictavo_test::singleDocumentPhotos(fiveMegapixels)[1];
    const pictavo_test::DocumentPhoto photo = pictavo_test::makePhoto(spec);
    const Frame frame = pictavo_test::frameOf(photo.bgr);
    std::printf("photo: %s, %dx%d, Motion-JPEG frame %zu kB\n", photo.name.c_str(), frame.width,
                frame.height, photo.jpeg.size() / 1024);

    CaptureSettings plain;
    CaptureSettings cropped;
    applyImageOption(cropped, image_option::AutoCrop{kAutoCropDocument});
    std::vector<uint8_t> jpeg;

    // The first crop after start, taken a second after the crop is switched on (as a camera
    // switches it on: the document search gets ready on a thread of its own; "first" runs it
    // at once instead), against the next ones.
    const bool atOnce = argc > 2 && std::string(argv[2]) == "first";
    prepareDocumentSearch();
    if (!atOnce) std::this_thread::sleep_for(std::chrono::seconds(1));
    const double first = millisecondsOf([&] { renderCapture(frame, cropped, jpeg); });
    std::vector<double> next;
    for (int i = 0; i < 3; ++i)
        next.push_back(millisecondsOf([&] { renderCapture(frame, cropped, jpeg); }));
    std::printf("first crop after start (%s) %8.2f ms, the next %8.2f ms  %5.2fx\n",
                atOnce ? "at once" : "a second after switching it on", first, median(next),
                first / median(next));
    if (atOnce) return 0;
    compare("capture with auto crop vs without", rounds,
            [&] { renderCapture(frame, cropped, jpeg); },
            [&] { renderCapture(frame, plain, jpeg); }, 1.5);

    {
        // Where the time of the crop goes, step by step (medians), as the capture takes them:
        // straight from the frame's pixels.
        std::vector<double> finding, warping, encoding;
        const PictureView view = viewOf(frame);
        for (int i = 0; i < rounds; ++i) {
            std::vector<DocumentOutline> documents;
            Raster page;
            finding.push_back(millisecondsOf([&] { documents = findDocuments(view); }));
            if (documents.empty()) break;
            warping.push_back(millisecondsOf([&] { page = straighten(view, documents[0]); }));
            encoding.push_back(millisecondsOf([&] {
                lenvaro::jpeg::EncodeOptions options;
                options.quality = plain.quality;
                jpeg.clear();
                lenvaro::jpeg::encode(page.data.data(), page.width, page.height, 3, page.rowBytes(),
                                      options, jpeg);
            }));
        }
        if (!warping.empty())
            std::printf("  (crop steps: find %.2f ms, straighten %.2f ms, encode the page %.2f ms)\n",
                        median(finding), median(warping), median(encoding));
    }

    // "crop": the crop alone, e.g. to count its instructions under valgrind --tool=callgrind.
    if (argc > 2 && std::string(argv[2]) == "crop") return 0;

    compare("capture vs bare libjpeg-turbo encode", rounds,
            [&] { renderCapture(frame, plain, jpeg); },
            [&] { bareEncode(photo.bgr, plain.quality); }, 1.2);

    std::vector<uint8_t> scratch;
    V4l2FrameConverter converter;
    Frame converted;
    // What the frame thread does for a preview-only Motion-JPEG frame: take the frame as it came
    // (its header read) and decode it at the preview's scale.
    const int scale = previewScale(frame.width, frame.height, kDefaultPreviewWidth);
    Frame scaled;
    const auto previewPath = [&] {
        converter.convert(V4L2_PIX_FMT_MJPEG, frame.width, frame.height, 0, photo.jpeg.data(),
                          photo.jpeg.size(), converted);
        decodeFrame(converted.jpeg, scale, true, scaled);
    };
    std::printf("(preview width %d: Motion-JPEG decoded at 1/%d)\n", kDefaultPreviewWidth, scale);
    compare("MJPEG 2592x1944 to preview pixels vs bare", rounds, previewPath,
            [&] { bareDecode(photo.jpeg, scale, scratch, true); }, 1.2);
    compare("  (the same vs a full-size bare decode)", rounds, previewPath,
            [&] { bareDecode(photo.jpeg, 1, scratch); }, 1.2);
    compare("MJPEG 2592x1944 full decode for a capture", rounds,
            [&] { decodeFrame(photo.jpeg, 1, false, scaled); },
            [&] { bareDecode(photo.jpeg, 1, scratch); }, 1.2);

    // YUYV at 1920x1080, made from the photo.
    cv::Mat hd;
    cv::resize(photo.bgr, hd, cv::Size(1920, 1080), 0, 0, cv::INTER_AREA);
    cv::Mat yuv;
    cv::cvtColor(hd, yuv, cv::COLOR_BGR2YUV);
    std::vector<uint8_t> yuyv(static_cast<size_t>(1920) * 1080 * 2);
    for (int y = 0; y < 1080; ++y)
        for (int x = 0; x < 1920; x += 2) {
            const cv::Vec3b a = yuv.at<cv::Vec3b>(y, x), b = yuv.at<cv::Vec3b>(y, x + 1);
            uint8_t* out = yuyv.data() + (static_cast<size_t>(y) * 1920 + x) * 2;
            out[0] = a[0];
            out[1] = static_cast<uint8_t>((a[1] + b[1]) / 2);
            out[2] = b[0];
            out[3] = static_cast<uint8_t>((a[2] + b[2]) / 2);
        }
    cv::Mat bgr;
    compare("YUYV 1920x1080 to B,G,R vs cvtColor", rounds,
            [&] {
                converter.convert(V4L2_PIX_FMT_YUYV, 1920, 1080, 1920 * 2, yuyv.data(),
                                  yuyv.size(), converted);
            },
            [&] {
                cv::cvtColor(cv::Mat(1080, 1920, CV_8UC2, yuyv.data()), bgr,
                             cv::COLOR_YUV2BGR_YUYV);
            },
            1.2);

    // The floor of the preview: a bare libjpeg-turbo decode of every frame at the same scale and
    // with the same options (the entropy decoding of the whole frame, which no scale saves, is
    // most of it).
    for (int previewWidth : {kDefaultPreviewWidth, 648, 0}) {
        const int previewDenominator = previewScale(2592, 1944, previewWidth);
        // Counted in CPU time, as the camera's share is, so that waiting for a busy core does
        // not count.
        std::vector<double> decodeTimes;
        for (int i = 0; i < rounds; ++i) {
            const double before = threadCpuMilliseconds();
            bareDecode(photo.jpeg, previewDenominator, scratch, true);
            decodeTimes.push_back(threadCpuMilliseconds() - before);
        }
        const double floorShare = 100.0 * median(decodeTimes) * 15 / 1000;
        const double share = previewCpuShare(photo.jpeg, 5, previewWidth);
        std::printf("5 MP MJPEG camera at 15 fps, preview width %4d (1/%d): %5.1f %% of one core"
                    "  (floor %5.1f %%, %4.2fx; goal <= 10 %%: %s)\n",
                    previewWidth, previewDenominator, share, floorShare, share / floorShare,
                    share <= 10 ? "met" : "MISSED");
    }
    return 0;
}
