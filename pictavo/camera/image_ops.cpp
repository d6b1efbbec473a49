// Picture operations of the capture pipeline.
#include "pictavo/camera/image_ops.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

namespace pictavo {
namespace {

uint8_t clampByte(int value) { return static_cast<uint8_t>(std::clamp(value, 0, 255)); }

int luma(int r, int g, int b) { return (299 * r + 587 * g + 114 * b + 500) / 1000; }

// A coarse grid over the picture: each cell's mean colour, and which cells differ from the
// background colour seen along the picture's edge.
struct CellGrid {
    int cell = 1;  // pixels per cell side
    int columns = 0;
    int rows = 0;
    std::vector<std::array<int, 3>> colour;
    std::array<int, 3> background{};
    std::vector<uint8_t> foreground;

    int index(int column, int row) const { return row * columns + column; }

    static constexpr int kDifference = 48;  // per channel, to count as not background

    bool differs(const std::array<int, 3>& c) const {
        for (int i = 0; i < 3; ++i) {
            if (std::abs(c[static_cast<size_t>(i)] - background[static_cast<size_t>(i)]) >
                kDifference)
                return true;
        }
        return false;
    }
};

std::array<int, 3> pixelColour(const Raster& raster, int x, int y) {
    const uint8_t* p = raster.at(x, y);
    if (raster.channels == 1) return {p[0], p[0], p[0]};
    return {p[0], p[1], p[2]};
}

CellGrid makeGrid(const Raster& raster) {
    CellGrid grid;
    grid.cell = std::max(1, std::min(raster.width, raster.height) / 200);
    grid.columns = (raster.width + grid.cell - 1) / grid.cell;
    grid.rows = (raster.height + grid.cell - 1) / grid.cell;
    grid.colour.resize(static_cast<size_t>(grid.columns) * static_cast<size_t>(grid.rows));
    const int step = std::max(1, grid.cell / 2);
    for (int row = 0; row < grid.rows; ++row) {
        for (int column = 0; column < grid.columns; ++column) {
            std::array<int, 3> sum{};
            int samples = 0;
            const int x1 = std::min(raster.width, (column + 1) * grid.cell);
            const int y1 = std::min(raster.height, (row + 1) * grid.cell);
            for (int y = row * grid.cell; y < y1; y += step) {
                for (int x = column * grid.cell; x < x1; x += step) {
                    const std::array<int, 3> c = pixelColour(raster, x, y);
                    for (size_t i = 0; i < 3; ++i) sum[i] += c[i];
                    ++samples;
                }
            }
            for (size_t i = 0; i < 3; ++i) sum[i] /= std::max(1, samples);
            grid.colour[static_cast<size_t>(grid.index(column, row))] = sum;
        }
    }
    // The background is the median colour of the cells along the edge.
    std::array<std::vector<int>, 3> edge;
    for (int row = 0; row < grid.rows; ++row) {
        for (int column = 0; column < grid.columns; ++column) {
            if (row != 0 && column != 0 && row != grid.rows - 1 && column != grid.columns - 1)
                continue;
            const auto& c = grid.colour[static_cast<size_t>(grid.index(column, row))];
            for (size_t i = 0; i < 3; ++i) edge[i].push_back(c[i]);
        }
    }
    for (size_t i = 0; i < 3; ++i) {
        auto middle = edge[i].begin() + static_cast<long>(edge[i].size() / 2);
        std::nth_element(edge[i].begin(), middle, edge[i].end());
        grid.background[i] = *middle;
    }
    grid.foreground.resize(grid.colour.size());
    for (size_t i = 0; i < grid.colour.size(); ++i)
        grid.foreground[i] = grid.differs(grid.colour[i]);
    return grid;
}

// Marks in `seen` (value `mark`) every cell reachable from `start` through cells whose
// foreground flag equals `wanted`; returns the bounding box in cells and the count.
struct Region {
    int left, top, right, bottom;
    long cells;
};
Region flood(const CellGrid& grid, int start, uint8_t wanted, std::vector<int>& seen, int mark) {
    Region region{grid.columns, grid.rows, -1, -1, 0};
    std::vector<int> stack{start};
    seen[static_cast<size_t>(start)] = mark;
    while (!stack.empty()) {
        const int at = stack.back();
        stack.pop_back();
        const int column = at % grid.columns;
        const int row = at / grid.columns;
        region.left = std::min(region.left, column);
        region.top = std::min(region.top, row);
        region.right = std::max(region.right, column);
        region.bottom = std::max(region.bottom, row);
        ++region.cells;
        const int neighbours[4][2] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}};
        for (const auto& d : neighbours) {
            const int c = column + d[0];
            const int r = row + d[1];
            if (c < 0 || r < 0 || c >= grid.columns || r >= grid.rows) continue;
            const int next = grid.index(c, r);
            if (seen[static_cast<size_t>(next)] != 0 ||
                grid.foreground[static_cast<size_t>(next)] != wanted)
                continue;
            seen[static_cast<size_t>(next)] = mark;
            stack.push_back(next);
        }
    }
    return region;
}

}  // namespace

Raster rasterFromFrame(const Frame& frame) {
    Raster raster;
    raster.width = frame.width;
    raster.height = frame.height;
    raster.channels = 3;
    raster.data.resize(frame.pixels.size());
    for (int y = 0; y < frame.height; ++y) {
        const uint8_t* in = frame.row(y);
        uint8_t* out = raster.at(0, y);
        for (int x = 0; x < frame.width; ++x, in += 3, out += 3) {
            out[0] = in[2];
            out[1] = in[1];
            out[2] = in[0];
        }
    }
    return raster;
}

bool cropTo(Raster& raster, Box box) {
    box.left = std::max(box.left, 0);
    box.top = std::max(box.top, 0);
    box.right = std::min(box.right, raster.width);
    box.bottom = std::min(box.bottom, raster.height);
    if (box.width() <= 0 || box.height() <= 0) return false;
    if (box.left == 0 && box.top == 0 && box.right == raster.width && box.bottom == raster.height)
        return true;
    Raster out;
    out.width = box.width();
    out.height = box.height();
    out.channels = raster.channels;
    out.data.resize(out.rowBytes() * static_cast<size_t>(out.height));
    for (int y = 0; y < out.height; ++y)
        std::memcpy(out.at(0, y), raster.at(box.left, box.top + y), out.rowBytes());
    raster = std::move(out);
    return true;
}

Raster rotateQuarterTurns(const Raster& raster, int turns) {
    turns = ((turns % 4) + 4) % 4;
    if (turns == 0) return raster;
    Raster out;
    out.channels = raster.channels;
    out.width = turns == 2 ? raster.width : raster.height;
    out.height = turns == 2 ? raster.height : raster.width;
    out.data.resize(raster.data.size());
    const size_t n = static_cast<size_t>(raster.channels);
    for (int y = 0; y < raster.height; ++y) {
        const uint8_t* in = raster.at(0, y);
        for (int x = 0; x < raster.width; ++x, in += n) {
            int ox = x, oy = y;
            switch (turns) {
                case 1:  // clockwise: the left column becomes the top row
                    ox = raster.height - 1 - y;
                    oy = x;
                    break;
                case 2:
                    ox = raster.width - 1 - x;
                    oy = raster.height - 1 - y;
                    break;
                case 3:
                    ox = y;
                    oy = raster.width - 1 - x;
                    break;
            }
            std::memcpy(out.at(ox, oy), in, n);
        }
    }
    return out;
}

void smoothNoise(Raster& raster) {
    if (raster.width < 3 || raster.height < 3) return;
    const Raster source = raster;
    const int n = raster.channels;
    for (int y = 0; y < raster.height; ++y) {
        const int y0 = std::max(0, y - 1), y1 = std::min(raster.height - 1, y + 1);
        for (int x = 0; x < raster.width; ++x) {
            const int x0 = std::max(0, x - 1), x1 = std::min(raster.width - 1, x + 1);
            const int count = (y1 - y0 + 1) * (x1 - x0 + 1);
            for (int c = 0; c < n; ++c) {
                int sum = 0;
                for (int yy = y0; yy <= y1; ++yy)
                    for (int xx = x0; xx <= x1; ++xx) sum += source.at(xx, yy)[c];
                raster.at(x, y)[c] = static_cast<uint8_t>((sum + count / 2) / count);
            }
        }
    }
}

void stretchLevels(Raster& raster) {
    std::array<long, 256> histogram{};
    const size_t pixels = static_cast<size_t>(raster.width) * static_cast<size_t>(raster.height);
    if (pixels == 0) return;
    const int n = raster.channels;
    for (size_t i = 0; i < pixels; ++i) {
        const uint8_t* p = raster.data.data() + i * static_cast<size_t>(n);
        ++histogram[static_cast<size_t>(n == 1 ? p[0] : luma(p[0], p[1], p[2]))];
    }
    const long cut = static_cast<long>(pixels / 100);
    int low = 0, high = 255;
    for (long seen = 0; low < 255 && seen + histogram[static_cast<size_t>(low)] <= cut; ++low)
        seen += histogram[static_cast<size_t>(low)];
    for (long seen = 0; high > 0 && seen + histogram[static_cast<size_t>(high)] <= cut; --high)
        seen += histogram[static_cast<size_t>(high)];
    if (high <= low) return;  // a flat picture has no levels to stretch
    std::array<uint8_t, 256> table{};
    for (int v = 0; v < 256; ++v)
        table[static_cast<size_t>(v)] = clampByte((v - low) * 255 / (high - low));
    for (uint8_t& v : raster.data) v = table[v];
}

void sharpen(Raster& raster) {
    if (raster.width < 3 || raster.height < 3) return;
    const Raster source = raster;
    const int n = raster.channels;
    for (int y = 1; y < raster.height - 1; ++y) {
        for (int x = 1; x < raster.width - 1; ++x) {
            for (int c = 0; c < n; ++c) {
                const int value = 5 * source.at(x, y)[c] - source.at(x - 1, y)[c] -
                                  source.at(x + 1, y)[c] - source.at(x, y - 1)[c] -
                                  source.at(x, y + 1)[c];
                raster.at(x, y)[c] = clampByte(value);
            }
        }
    }
}

void toGrey(Raster& raster) {
    if (raster.channels == 1) return;
    const size_t pixels = static_cast<size_t>(raster.width) * static_cast<size_t>(raster.height);
    for (size_t i = 0; i < pixels; ++i) {
        const uint8_t* p = raster.data.data() + i * 3;
        raster.data[i] = static_cast<uint8_t>(luma(p[0], p[1], p[2]));
    }
    raster.data.resize(pixels);
    raster.channels = 1;
}

void toBlackAndWhite(Raster& raster) {
    toGrey(raster);
    std::array<long, 256> histogram{};
    for (uint8_t v : raster.data) ++histogram[v];
    const double total = static_cast<double>(raster.data.size());
    if (total == 0) return;
    double sumAll = 0;
    for (int v = 0; v < 256; ++v)
        sumAll += v * static_cast<double>(histogram[static_cast<size_t>(v)]);
    // Otsu: the threshold that best separates the two classes of levels.
    double sumBelow = 0, weightBelow = 0, best = -1;
    int threshold = 127;
    for (int t = 0; t < 256; ++t) {
        weightBelow += static_cast<double>(histogram[static_cast<size_t>(t)]);
        if (weightBelow == 0) continue;
        const double weightAbove = total - weightBelow;
        if (weightAbove == 0) break;
        sumBelow += t * static_cast<double>(histogram[static_cast<size_t>(t)]);
        const double meanBelow = sumBelow / weightBelow;
        const double meanAbove = (sumAll - sumBelow) / weightAbove;
        const double between =
            weightBelow * weightAbove * (meanBelow - meanAbove) * (meanBelow - meanAbove);
        if (between > best) {
            best = between;
            threshold = t;
        }
    }
    for (uint8_t& v : raster.data) v = v > threshold ? 255 : 0;
}

std::vector<Box> findDocuments(const Raster& raster) {
    std::vector<Box> boxes;
    if (raster.width == 0 || raster.height == 0) return boxes;
    const CellGrid grid = makeGrid(raster);
    std::vector<int> seen(grid.foreground.size(), 0);
    const long minimum = std::max<long>(1, static_cast<long>(grid.foreground.size()) / 100);
    int mark = 0;
    for (size_t i = 0; i < grid.foreground.size(); ++i) {
        if (!grid.foreground[i] || seen[i] != 0) continue;
        const Region region = flood(grid, static_cast<int>(i), 1, seen, ++mark);
        if (region.cells < minimum) continue;
        boxes.push_back(Box{region.left * grid.cell, region.top * grid.cell,
                            std::min(raster.width, (region.right + 1) * grid.cell),
                            std::min(raster.height, (region.bottom + 1) * grid.cell)});
    }
    std::sort(boxes.begin(), boxes.end(),
              [](const Box& a, const Box& b) { return a.area() > b.area(); });
    return boxes;
}

void whitenBackground(Raster& raster) {
    if (raster.width == 0 || raster.height == 0) return;
    const CellGrid grid = makeGrid(raster);
    std::vector<int> seen(grid.foreground.size(), 0);
    // Background cells reachable from the edge.
    for (int row = 0; row < grid.rows; ++row) {
        for (int column = 0; column < grid.columns; ++column) {
            if (row != 0 && column != 0 && row != grid.rows - 1 && column != grid.columns - 1)
                continue;
            const int at = grid.index(column, row);
            if (grid.foreground[static_cast<size_t>(at)] || seen[static_cast<size_t>(at)] != 0)
                continue;
            flood(grid, at, 0, seen, 1);
        }
    }
    auto outside = [&](int column, int row) {
        if (column < 0 || row < 0 || column >= grid.columns || row >= grid.rows) return false;
        return seen[static_cast<size_t>(grid.index(column, row))] != 0;
    };
    for (int y = 0; y < raster.height; ++y) {
        const int row = y / grid.cell;
        for (int x = 0; x < raster.width; ++x) {
            const int column = x / grid.cell;
            bool paint = outside(column, row);
            // Along a document's edge, decide pixel by pixel.
            if (!paint && (outside(column - 1, row) || outside(column + 1, row) ||
                           outside(column, row - 1) || outside(column, row + 1)))
                paint = !grid.differs(pixelColour(raster, x, y));
            if (paint) std::memset(raster.at(x, y), 255, static_cast<size_t>(raster.channels));
        }
    }
}

void paintOverSkin(Raster& raster, Box region, uint8_t r, uint8_t g, uint8_t b) {
    if (raster.channels != 3) return;
    region.left = std::max(region.left, 0);
    region.top = std::max(region.top, 0);
    region.right = std::min(region.right, raster.width);
    region.bottom = std::min(region.bottom, raster.height);
    for (int y = region.top; y < region.bottom; ++y) {
        for (int x = region.left; x < region.right; ++x) {
            uint8_t* p = raster.at(x, y);
            // Skin in YCbCr: a well-known box that holds most skin tones under daylight.
            const int lum = luma(p[0], p[1], p[2]);
            const int cb = 128 + (-168736 * p[0] - 331264 * p[1] + 500000 * p[2]) / 1000000;
            const int cr = 128 + (500000 * p[0] - 418688 * p[1] - 81312 * p[2]) / 1000000;
            if (lum > 60 && cb >= 77 && cb <= 127 && cr >= 133 && cr <= 173) {
                p[0] = r;
                p[1] = g;
                p[2] = b;
            }
        }
    }
}

}  // namespace pictavo
