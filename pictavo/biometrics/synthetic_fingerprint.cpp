// Drawing synthetic fingerprints and writing them as grey bitmaps.
#include "pictavo/biometrics/synthetic_fingerprint.h"

#include <algorithm>
#include <cmath>

namespace pictavo {
namespace {

constexpr double kPi = 3.14159265358979323846;

// FNV-1a of the name: the finger's identity.
uint64_t nameHash(const std::string& name) {
    uint64_t hash = 1469598103934665603ull;
    for (unsigned char c : name) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return hash;
}

// splitmix64: small, fast and the same on every platform, so a finger looks the same everywhere.
class Random {
  public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [low, high).
    double uniform(double low, double high) {
        return low + (high - low) * static_cast<double>(next() >> 11) * 0x1.0p-53;
    }

  private:
    uint64_t state_;
};

double smoothstep(double edge0, double edge1, double x) {
    const double t = std::clamp((x - edge0) / (edge1 - edge0), 0.0, 1.0);
    return t * t * (3 - 2 * t);
}

enum class PatternKind { kWhorl, kLeftLoop, kRightLoop, kArch, kTentedArch };

// A low-frequency displacement of the ridge field: no two fingers run quite straight.
struct Wave {
    double amplitude, kx, ky, phase;
    double at(double u, double v) const { return amplitude * std::sin(kx * u + ky * v + phase); }
};

// Everything the name fixes.
struct Pattern {
    PatternKind kind;
    double coreX, coreY;  // pixels
    double period;        // ridge to ridge, pixels
    double angle;         // radians
    Wave warpU[2], warpV[2];
    double spiral;      // whorls: 0 rings, -1 or 1 a spiral of one ridge per turn
    double ellipse;     // whorls: axis ratio
    double archHeight;  // arches
    double archWidth;
    double loopAngle;  // loops: direction in which the loop opens
};

Wave randomWave(Random& random) {
    const double wavelength = random.uniform(90, 180);
    const double direction = random.uniform(0, 2 * kPi);
    const double k = 2 * kPi / wavelength;
    return {random.uniform(1.5, 4), k * std::cos(direction), k * std::sin(direction),
            random.uniform(0, 2 * kPi)};
}

Pattern patternOf(const std::string& finger) {
    Random random(nameHash(finger));
    Pattern p{};
    p.kind = static_cast<PatternKind>(random.next() % 5);
    p.coreX = kFingerprintScanWidth * random.uniform(0.40, 0.60);
    p.coreY = kFingerprintScanHeight * random.uniform(0.38, 0.55);
    p.period = random.uniform(7.5, 10.5);
    p.angle = random.uniform(-0.22, 0.22);
    for (Wave& wave : p.warpU) wave = randomWave(random);
    for (Wave& wave : p.warpV) wave = randomWave(random);
    p.spiral = static_cast<double>(static_cast<int>(random.next() % 3) - 1);
    p.ellipse = random.uniform(0.8, 1.2);
    p.archHeight = random.uniform(18, 40);
    p.archWidth = random.uniform(45, 75);
    if (p.kind == PatternKind::kTentedArch) {
        p.archHeight *= 1.5;
        p.archWidth *= 0.8;
    }
    // A loop opens sideways and a little downwards.
    const double tilt = random.uniform(0.15, 0.6);
    p.loopAngle = p.kind == PatternKind::kLeftLoop ? kPi - tilt : tilt;
    return p;
}

// The ridge field: ridges run along its level lines, one ridge per `period` of its value.
double ridgeField(const Pattern& p, double u, double v) {
    switch (p.kind) {
        case PatternKind::kWhorl: {
            const double r = std::hypot(u * p.ellipse, v / p.ellipse);
            return r + p.spiral * p.period * std::atan2(v, u) / (2 * kPi);
        }
        case PatternKind::kArch:
        case PatternKind::kTentedArch:
            return v + p.archHeight * std::exp(-u * u / (2 * p.archWidth * p.archWidth));
        case PatternKind::kLeftLoop:
        case PatternKind::kRightLoop: {
            // Distance to a ray from the core: ridges run along the ray and turn round its end.
            const double dx = std::cos(p.loopAngle), dy = std::sin(p.loopAngle);
            const double along = u * dx + v * dy;
            const double loop = along > 0 ? std::fabs(-u * dy + v * dx) : std::hypot(u, v);
            // Far below the core the ridges lie across the finger.
            const double across = smoothstep(40, 120, v);
            return (1 - across) * loop + across * (v + 20);
        }
    }
    return v;
}

}  // namespace

GreyImage renderFingerprint(const std::string& finger, uint32_t touch) {
    const Pattern p = patternOf(finger);
    Random placement(nameHash(finger) ^ (0xD1B54A32D192ED03ull * (uint64_t{touch} + 1)));
    const double shiftX = placement.uniform(-4, 4);
    const double shiftY = placement.uniform(-4, 4);
    // The sensor's finger guide keeps the finger from turning; it still lands a few pixels
    // off and pressed harder or softer.
    const double turn = p.angle;
    const double pressure = placement.uniform(0.85, 1.15);
    const uint64_t noiseSeed = placement.next();

    GreyImage image;
    image.width = kFingerprintScanWidth;
    image.height = kFingerprintScanHeight;
    image.pixels.assign(static_cast<size_t>(image.width) * static_cast<size_t>(image.height), 255);

    const double cosTurn = std::cos(turn), sinTurn = std::sin(turn);
    // The fingertip's contact area: an ellipse a little narrower than the sensor.
    const double tipX = image.width / 2.0 + shiftX, tipY = image.height * 0.52 + shiftY;
    const double tipA = image.width * 0.44, tipB = image.height * 0.47;
    Random noise(noiseSeed);
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            const double ex = (x - tipX) / tipA, ey = (y - tipY) / tipB;
            const double edge = ex * ex + ey * ey;
            const double grain = noise.uniform(-12, 12);
            if (edge >= 1) continue;
            const double cx = x - p.coreX - shiftX, cy = y - p.coreY - shiftY;
            double u = cx * cosTurn + cy * sinTurn;
            double v = -cx * sinTurn + cy * cosTurn;
            const double warpedU = u + p.warpU[0].at(u, v) + p.warpU[1].at(u, v);
            const double warpedV = v + p.warpV[0].at(u, v) + p.warpV[1].at(u, v);
            u = warpedU;
            v = warpedV;
            const double phase = ridgeField(p, u, v) / p.period;
            // 1 on a ridge, 0 in a valley; pressure widens or narrows the ridges.
            const double ridge = std::pow(0.5 + 0.5 * std::cos(2 * kPi * phase), 1.0 / pressure);
            const double contact = smoothstep(1.0, 0.8, edge);
            const double value = 250 - 200 * ridge * contact + grain;
            image.pixels[static_cast<size_t>(y) * static_cast<size_t>(image.width) +
                         static_cast<size_t>(x)] =
                static_cast<uint8_t>(std::clamp(std::lround(value), 0L, 255L));
        }
    }
    return image;
}

std::vector<uint8_t> encodeGreyBmp(const GreyImage& image, int dpi) {
    const uint32_t stride = (static_cast<uint32_t>(image.width) + 3u) & ~3u;
    const uint32_t headerBytes = 14 + 40 + 256 * 4;
    const uint32_t pixelBytes = stride * static_cast<uint32_t>(image.height);
    std::vector<uint8_t> file(headerBytes + pixelBytes, 0);
    const auto put16 = [&](size_t at, uint32_t value) {
        file[at] = static_cast<uint8_t>(value);
        file[at + 1] = static_cast<uint8_t>(value >> 8);
    };
    const auto put32 = [&](size_t at, uint32_t value) {
        put16(at, value & 0xFFFF);
        put16(at + 2, value >> 16);
    };
    const uint32_t pixelsPerMetre = static_cast<uint32_t>(std::lround(dpi / 0.0254));
    file[0] = 'B';
    file[1] = 'M';
    put32(2, headerBytes + pixelBytes);
    put32(10, headerBytes);
    put32(14, 40);  // BITMAPINFOHEADER
    put32(18, static_cast<uint32_t>(image.width));
    put32(22, static_cast<uint32_t>(image.height));  // positive: bottom row first
    put16(26, 1);
    put16(28, 8);
    put32(34, pixelBytes);
    put32(38, pixelsPerMetre);
    put32(42, pixelsPerMetre);
    put32(46, 256);
    for (uint32_t grey = 0; grey < 256; ++grey) {
        const size_t at = 54 + grey * 4;
        file[at] = file[at + 1] = file[at + 2] = static_cast<uint8_t>(grey);
    }
    for (int y = 0; y < image.height; ++y) {
        const uint8_t* row = image.pixels.data() + static_cast<size_t>(y) * image.width;
        const size_t at = headerBytes + static_cast<size_t>(image.height - 1 - y) * stride;
        std::copy(row, row + image.width, file.data() + at);
    }
    return file;
}

}  // namespace pictavo
