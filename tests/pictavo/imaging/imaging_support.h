// Helpers for the imaging tests: pictures of known colours, and what poppler's tools say about
// a PDF (an independent reader, so the tests do not trust libharu's view of its own output).
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "common/jpeg_codec.h"
#include "pictavo/imaging/picture.h"

namespace imaging_test {

using Rgb = std::array<uint8_t, 3>;

inline constexpr Rgb kRed{255, 0, 0};
inline constexpr Rgb kBlue{0, 0, 255};
inline constexpr Rgb kGreen{0, 255, 0};
inline constexpr Rgb kWhite{255, 255, 255};

inline pictavo::Picture solidPicture(int width, int height, Rgb colour) {
    pictavo::Picture picture;
    picture.width = width;
    picture.height = height;
    picture.components = 3;
    picture.pixels.resize(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
    for (size_t i = 0; i < picture.pixels.size(); i += 3) {
        picture.pixels[i] = colour[0];
        picture.pixels[i + 1] = colour[1];
        picture.pixels[i + 2] = colour[2];
    }
    return picture;
}

// A JPEG of one colour; dpi 0 writes no density.
inline std::vector<uint8_t> solidJpeg(int width, int height, Rgb colour, int dpi = 0,
                                      int quality = 90) {
    const pictavo::Picture picture = solidPicture(width, height, colour);
    lenvaro::jpeg::EncodeOptions options;
    options.quality = quality;
    options.xDpi = dpi;
    options.yDpi = dpi;
    std::vector<uint8_t> out;
    EXPECT_TRUE(lenvaro::jpeg::encode(picture.pixels.data(), width, height, 3, picture.rowBytes(),
                                      options, out));
    return out;
}

inline std::string asText(const std::vector<uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

inline std::vector<uint8_t> fileBytes(const std::string& path) {
    std::vector<uint8_t> bytes;
    EXPECT_EQ(pictavo::readPictureFile(path, bytes), 0) << path;
    return bytes;
}

inline pictavo::Picture decodeFile(const std::string& path) {
    pictavo::Picture picture;
    EXPECT_EQ(pictavo::decodePicture(fileBytes(path), picture), 0) << path;
    pictavo::expandToRgb(picture);
    return picture;
}

inline Rgb pixelAt(const pictavo::Picture& picture, int x, int y) {
    const size_t at =
        (static_cast<size_t>(y) * static_cast<size_t>(picture.width) + static_cast<size_t>(x)) * 3;
    return {picture.pixels[at], picture.pixels[at + 1], picture.pixels[at + 2]};
}

// Within `tolerance` on every channel (JPEG moves colours a little).
inline bool near(Rgb actual, Rgb expected, int tolerance = 24) {
    for (size_t i = 0; i < 3; ++i) {
        if (std::abs(actual[i] - expected[i]) > tolerance) return false;
    }
    return true;
}

// Standard output of a shell command; the test fails if it cannot run or exits non-zero.
inline std::string run(const std::string& command) {
    std::string output;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen((command + " 2>&1").c_str(), "r"), pclose);
    if (!pipe) {
        ADD_FAILURE() << "cannot run " << command;
        return output;
    }
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, pipe.get())) > 0) output.append(chunk, got);
    const int status = pclose(pipe.release());
    EXPECT_EQ(status, 0) << command << " (poppler-utils comes with scripts/setup):\n" << output;
    return output;
}

inline std::string quoted(const std::string& path) { return "'" + path + "'"; }

inline int pdfPageCount(const std::string& pdf) {
    std::smatch match;
    const std::string info = run("pdfinfo " + quoted(pdf));
    if (!std::regex_search(info, match, std::regex(R"(Pages:\s+(\d+))"))) return -1;
    return std::stoi(match[1]);
}

struct PointSize {
    double width;
    double height;
};

// The size of every page, in points.
inline std::vector<PointSize> pdfPageSizes(const std::string& pdf) {
    const std::string info = run("pdfinfo -f 1 -l 100000 " + quoted(pdf));
    std::vector<PointSize> sizes;
    const std::regex line(R"(Page\s+\d+ size:\s+([\d.]+) x ([\d.]+) pts)");
    for (auto it = std::sregex_iterator(info.begin(), info.end(), line);
         it != std::sregex_iterator(); ++it) {
        sizes.push_back({std::stod((*it)[1]), std::stod((*it)[2])});
    }
    return sizes;
}

struct PdfImage {
    int page;
    int width;
    int height;
    std::string colour;    // rgb, gray
    std::string encoding;  // jpeg, image (deflate), ...
};

inline std::vector<PdfImage> pdfImages(const std::string& pdf) {
    const std::string list = run("pdfimages -list " + quoted(pdf));
    std::vector<PdfImage> images;
    const std::regex row(R"(^\s*(\d+)\s+\d+\s+image\s+(\d+)\s+(\d+)\s+(\w+)\s+\d+\s+\d+\s+(\w+))");
    std::istringstream lines(list);
    std::string text;
    while (std::getline(lines, text)) {
        std::smatch m;
        if (std::regex_search(text, m, row)) {
            images.push_back({std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3]), m[4], m[5]});
        }
    }
    return images;
}

// One page rendered by poppler at `dpi`, as R, G, B rows (from a binary PPM).
inline pictavo::Picture renderPage(const std::string& pdf, int page, int dpi,
                                   const std::string& scratchPrefix) {
    run("pdftoppm -r " + std::to_string(dpi) + " -f " + std::to_string(page) + " -l " +
        std::to_string(page) + " -singlefile " + quoted(pdf) + " " + quoted(scratchPrefix));
    std::vector<uint8_t> ppm;
    pictavo::Picture picture;
    if (pictavo::readPictureFile(scratchPrefix + ".ppm", ppm) != 0) {
        ADD_FAILURE() << "no rendering of page " << page;
        return picture;
    }
    // "P6\n<width> <height>\n255\n" then the pixels.
    std::istringstream header(asText(ppm));
    std::string magic;
    int maxValue = 0;
    header >> magic >> picture.width >> picture.height >> maxValue;
    const auto start = static_cast<size_t>(header.tellg()) + 1;
    picture.components = 3;
    picture.pixels.assign(ppm.begin() + static_cast<std::ptrdiff_t>(start), ppm.end());
    EXPECT_EQ(magic, "P6");
    EXPECT_EQ(picture.pixels.size(), picture.rowBytes() * static_cast<size_t>(picture.height));
    return picture;
}

}  // namespace imaging_test
