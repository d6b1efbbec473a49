// Drawing the document photos.
#include "document_photos.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <random>

#include "common/jpeg_codec.h"

namespace pictavo_test {
namespace {

constexpr const char* kWords[] = {
    "invoice", "total",  "account", "payment", "amount", "address", "number", "signed",
    "office",  "branch", "notice",  "period",  "balance", "copy",   "record", "holder",
    "date",    "issued", "valid",   "review",  "service", "city",   "bank",   "name",
};

// Portable draws from a seeded generator (the standard distributions differ between libraries).
struct Random {
    std::mt19937 engine;
    explicit Random(unsigned seed) : engine(seed) {}
    int below(int n) { return static_cast<int>(engine() % static_cast<uint32_t>(n)); }
    double unit() { return engine() / 4294967296.0; }
};

// Lines of words across `area`, dark grey on the document; records each line's box.
void writeLines(cv::Mat& document, cv::Rect area, double fontScale, int thickness, Random& random,
                std::vector<cv::Rect>& boxes, int paragraphEvery = 6) {
    int baseline = 0;
    const cv::Size letter = cv::getTextSize("Hg", cv::FONT_HERSHEY_SIMPLEX, fontScale, thickness,
                                            &baseline);
    const int lineHeight = letter.height * 2 + baseline;
    int y = area.y + letter.height;
    int line = 0;
    while (y + baseline <= area.y + area.height) {
        std::string text;
        const bool lastOfParagraph = ++line % paragraphEvery == 0;
        const int targetWidth = lastOfParagraph ? area.width * (30 + random.below(40)) / 100
                                                : area.width * (85 + random.below(15)) / 100;
        for (;;) {
            const std::string next = text.empty() ? std::string(kWords[random.below(24)])
                                                  : text + " " + kWords[random.below(24)];
            if (cv::getTextSize(next, cv::FONT_HERSHEY_SIMPLEX, fontScale, thickness, &baseline)
                    .width > targetWidth)
                break;
            text = next;
        }
        if (text.empty()) break;
        const cv::Size size =
            cv::getTextSize(text, cv::FONT_HERSHEY_SIMPLEX, fontScale, thickness, &baseline);
        cv::putText(document, text, {area.x, y}, cv::FONT_HERSHEY_SIMPLEX, fontScale,
                    cv::Scalar(40, 38, 35), thickness, cv::LINE_AA);
        boxes.emplace_back(area.x, y - size.height, size.width, size.height + baseline);
        y += lastOfParagraph ? lineHeight * 2 : lineHeight;
    }
}

// The document in its own pixels, `height` tall, with its text boxes.
cv::Mat drawDocument(DocumentKind kind, int height, Random& random, std::vector<cv::Rect>& text) {
    // Sizes in millimetres: the documents' own aspect ratios.
    const double mm[][2] = {{210, 297}, {215.9, 279.4}, {80, 220}, {85.6, 54}};
    const auto* dims = mm[static_cast<int>(kind)];
    const int width = static_cast<int>(std::lround(height * dims[0] / dims[1]));
    cv::Mat document;
    if (kind == DocumentKind::kIdCard) {
        // A pale blue card with a portrait, a title band and a few lines.
        document.create(height, width, CV_8UC3);
        for (int y = 0; y < height; ++y)
            document.row(y).setTo(cv::Scalar(235 - 25 * y / height, 222 - 10 * y / height, 200));
        const int margin = height / 12;
        cv::rectangle(document, cv::Rect(0, 0, width, height / 6), cv::Scalar(150, 90, 40),
                      cv::FILLED);
        const cv::Rect portrait(margin, height / 6 + margin, width * 28 / 100,
                                height - height / 6 - 2 * margin);
        cv::rectangle(document, portrait, cv::Scalar(170, 180, 190), cv::FILLED);
        cv::ellipse(document, (portrait.tl() + portrait.br()) / 2,
                    cv::Size(portrait.width / 3, portrait.height * 2 / 5), 0, 0, 360,
                    cv::Scalar(120, 140, 170), cv::FILLED);
        const double scale = height / 300.0;
        writeLines(document,
                   cv::Rect(portrait.br().x + margin, height / 6 + margin,
                            width - portrait.br().x - 2 * margin, height * 6 / 10),
                   scale, std::max(1, height / 150), random, text, 99);
        return document;
    }
    document.create(height, width, CV_8UC3);
    document.setTo(cv::Scalar(240, 243, 244));
    const int margin = width * (kind == DocumentKind::kReceipt ? 6 : 8) / 100;
    const double scale = width / (kind == DocumentKind::kReceipt ? 500.0 : 1300.0);
    const int thickness = std::max(1, static_cast<int>(std::lround(scale * 1.6)));
    // A heading, then the body reaching down to the bottom margin.
    cv::putText(document, kind == DocumentKind::kReceipt ? "RECEIPT" : "STATEMENT",
                {margin, margin + static_cast<int>(30 * scale)}, cv::FONT_HERSHEY_DUPLEX,
                scale * 1.6, cv::Scalar(30, 30, 30), thickness + 1, cv::LINE_AA);
    text.emplace_back(margin, margin, width / 2, static_cast<int>(36 * scale));
    writeLines(document,
               cv::Rect(margin, margin + static_cast<int>(70 * scale), width - 2 * margin,
                        height - 2 * margin - static_cast<int>(70 * scale)),
               scale, thickness, random, text);
    return document;
}

// A smooth random field in 0..1, varying over about `scale` pixels.
cv::Mat smoothNoise(cv::Size size, int scale, Random& random) {
    cv::Mat coarse(std::max(2, size.height / scale + 2), std::max(2, size.width / scale + 2),
                   CV_32F);
    for (int y = 0; y < coarse.rows; ++y)
        for (int x = 0; x < coarse.cols; ++x) coarse.at<float>(y, x) = static_cast<float>(random.unit());
    cv::Mat field;
    cv::resize(coarse, field, size, 0, 0, cv::INTER_CUBIC);
    return field;
}

cv::Mat drawSurface(Surface surface, cv::Size size, Random& random) {
    cv::Mat desk(size, CV_32FC3);
    switch (surface) {
        case Surface::kDark:
            desk.setTo(cv::Scalar(42, 44, 48));
            break;
        case Surface::kLight: {
            // A pale desk not much darker than paper: the low-contrast case.
            desk.setTo(cv::Scalar(205, 212, 216));
            break;
        }
        case Surface::kWood: {
            // Grain: stripes along the boards whose phase wanders, with fine streaks.
            const cv::Mat wander = smoothNoise(size, size.width / 6, random);
            const cv::Mat streaks = smoothNoise(cv::Size(size.width / 40 + 2, size.height), 1, random);
            cv::Mat streaksFull;
            cv::resize(streaks, streaksFull, size, 0, 0, cv::INTER_LINEAR);
            for (int y = 0; y < size.height; ++y) {
                auto* row = desk.ptr<cv::Vec3f>(y);
                for (int x = 0; x < size.width; ++x) {
                    const float phase = y * 0.045f + wander.at<float>(y, x) * 9.f;
                    const float grain = 0.5f + 0.5f * std::sin(phase) * std::sin(phase * 0.37f);
                    const float shade = 0.75f + 0.2f * grain + 0.1f * streaksFull.at<float>(y, x);
                    row[x] = cv::Vec3f(45, 95, 150) * shade;
                }
            }
            break;
        }
        case Surface::kGranite: {
            // Speckles of several sizes on a mid grey.
            desk.setTo(cv::Scalar(120, 118, 115));
            for (int scale : {3, 9, 27}) {
                const cv::Mat speckle = smoothNoise(size, scale, random);
                std::vector<cv::Mat> planes(3, (speckle - 0.5f) * 70.f);
                cv::Mat add;
                cv::merge(planes, add);
                desk += add;
            }
            break;
        }
        case Surface::kPlaid: {
            // A tartan: coloured bands across and along, woven (the two alternate pixel by
            // pixel), with thin light lines.
            const int period = std::max(24, size.width / 36);
            const cv::Vec3f colours[] = {{40, 40, 170}, {60, 110, 40}, {110, 50, 30}, {40, 40, 170}};
            const auto band = [&](int t) {
                const int p = ((t % period) + period) % period;
                if (p < period / 14) return cv::Vec3f(200, 225, 235);  // the light line
                return colours[(p * 4 / period) % 4];
            };
            for (int y = 0; y < size.height; ++y) {
                auto* row = desk.ptr<cv::Vec3f>(y);
                for (int x = 0; x < size.width; ++x) {
                    const bool warp = ((x + y) & 2) != 0;
                    row[x] = warp ? band(x) : band(y + period / 3);
                }
            }
            break;
        }
    }
    cv::Mat out;
    desk.convertTo(out, CV_8UC3);
    return out;
}

}  // namespace

DocumentPhoto makePhoto(const PhotoSpec& spec) {
    Random random(spec.seed);
    DocumentPhoto photo;
    photo.name = spec.name;
    cv::Mat canvas = drawSurface(spec.surface, spec.size, random);
    cv::Mat canvasF;
    canvas.convertTo(canvasF, CV_32FC3);

    for (const DocumentSpec& d : spec.documents) {
        PlacedDocument placed;
        const int height = static_cast<int>(d.height * static_cast<float>(spec.size.height));
        cv::Mat document = drawDocument(d.kind, height, random, placed.text);
        placed.size = document.size();
        const float w = static_cast<float>(placed.size.width);
        const float h = static_cast<float>(placed.size.height);
        // Turned about its centre, then each corner pushed a little for the perspective.
        const cv::Point2f centre(d.centre.x * static_cast<float>(spec.size.width),
                                 d.centre.y * static_cast<float>(spec.size.height));
        const float angle = d.angleDegrees * static_cast<float>(CV_PI) / 180.f;
        const cv::Point2f own[4] = {{0, 0}, {w, 0}, {w, h}, {0, h}};
        cv::Point2f there[4];
        for (int i = 0; i < 4; ++i) {
            const cv::Point2f p = own[i] - cv::Point2f(w / 2, h / 2);
            // Counter-clockwise on the picture (y grows downwards).
            cv::Point2f turned(p.x * std::cos(angle) + p.y * std::sin(angle),
                               -p.x * std::sin(angle) + p.y * std::cos(angle));
            turned += cv::Point2f(static_cast<float>(random.unit() * 2 - 1) * d.perspective * w,
                                  static_cast<float>(random.unit() * 2 - 1) * d.perspective * h);
            there[i] = centre + turned;
            placed.corners[static_cast<size_t>(i)] = there[i];
        }
        placed.toPhoto = cv::getPerspectiveTransform(own, there);

        // A soft drop shadow on the desk beside the document, then the document, blended with
        // its own anti-aliased outline.
        cv::Mat mask(document.size(), CV_32F, cv::Scalar(1));
        cv::Mat warpedMask, warped;
        cv::warpPerspective(mask, warpedMask, placed.toPhoto, spec.size, cv::INTER_LINEAR,
                            cv::BORDER_CONSTANT, 0);
        cv::Mat shadowMask;
        const int blur = std::max(3, spec.size.width / 200) | 1;
        cv::GaussianBlur(warpedMask, shadowMask, cv::Size(blur * 4 + 1, blur * 4 + 1), 0);
        cv::Mat shifted;
        cv::warpAffine(shadowMask, shifted, cv::Matx23d(1, 0, blur, 0, 1, blur), spec.size);
        std::vector<cv::Mat> darken(3, 1.f - 0.35f * shifted);
        cv::Mat darken3;
        cv::merge(darken, darken3);
        canvasF = canvasF.mul(darken3);

        cv::Mat documentF;
        document.convertTo(documentF, CV_32FC3);
        cv::warpPerspective(documentF, warped, placed.toPhoto, spec.size, cv::INTER_LINEAR,
                            cv::BORDER_CONSTANT);
        std::vector<cv::Mat> m(3, warpedMask);
        cv::Mat mask3;
        cv::merge(m, mask3);
        canvasF = canvasF.mul(cv::Scalar::all(1) - mask3) + warped.mul(mask3);
        photo.documents.push_back(std::move(placed));
    }

    // Light: a fall-off across the picture, and a shadow across one corner of the first document.
    cv::Mat light(spec.size, CV_32F, cv::Scalar(1));
    if (spec.lightFalloff > 0) {
        const float direction = static_cast<float>(random.unit() * 2 * CV_PI);
        for (int y = 0; y < spec.size.height; ++y) {
            auto* row = light.ptr<float>(y);
            for (int x = 0; x < spec.size.width; ++x) {
                const float t = ((x - spec.size.width / 2.f) * std::cos(direction) +
                                 (y - spec.size.height / 2.f) * std::sin(direction)) /
                                static_cast<float>(spec.size.width);
                row[x] = 1.f - spec.lightFalloff * (0.5f + t);
            }
        }
    }
    if (spec.shadow && !photo.documents.empty()) {
        const auto& corners = photo.documents.front().corners;
        const cv::Point2f corner = corners[static_cast<size_t>(random.below(4))];
        cv::Mat blob(spec.size, CV_32F, cv::Scalar(0));
        const int radius = spec.size.height / 5;
        cv::ellipse(blob, corner, cv::Size(radius * 3 / 2, radius), random.below(180), 0, 360,
                    cv::Scalar(1), cv::FILLED);
        cv::GaussianBlur(blob, blob, cv::Size(0, 0), radius / 4.0);
        light = light.mul(1.f - 0.55f * blob);
    }
    std::vector<cv::Mat> l(3, light);
    cv::Mat light3;
    cv::merge(l, light3);
    canvasF = canvasF.mul(light3);

    cv::Mat noise(spec.size, CV_32FC3);
    cv::RNG rng(spec.seed);
    rng.fill(noise, cv::RNG::NORMAL, 0, spec.noise);
    canvasF += noise;
    canvasF.convertTo(canvas, CV_8UC3);

    lenvaro::jpeg::EncodeOptions options;
    options.quality = spec.jpegQuality;
    options.bgr = true;
    lenvaro::jpeg::encode(canvas.data, canvas.cols, canvas.rows, 3, canvas.step, options,
                          photo.jpeg);
    lenvaro::jpeg::Image decoded;
    lenvaro::jpeg::decode(photo.jpeg.data(), photo.jpeg.size(), decoded);
    cv::Mat rgb(decoded.height, decoded.width, CV_8UC3, decoded.pixels.data());
    cv::cvtColor(rgb, photo.bgr, cv::COLOR_RGB2BGR);
    return photo;
}

std::vector<PhotoSpec> singleDocumentPhotos(cv::Size size) {
    using K = DocumentKind;
    using S = Surface;
    const auto photo = [&](const char* name, S surface, DocumentSpec document, float falloff,
                           bool shadow, unsigned seed) {
        PhotoSpec spec;
        spec.name = name;
        spec.size = size;
        spec.surface = surface;
        spec.documents = {document};
        spec.lightFalloff = falloff;
        spec.shadow = shadow;
        spec.seed = seed;
        return spec;
    };
    return {
        photo("a4 upright on a dark desk", S::kDark, {K::kA4, {0.5f, 0.5f}, 0.86f, 0, 0}, 0, false, 1),
        photo("a4 turned 6 degrees on wood", S::kWood, {K::kA4, {0.48f, 0.5f}, 0.8f, 6, 0.01f}, 0.2f, true, 2),
        photo("a4 turned 15 degrees on plaid", S::kPlaid, {K::kA4, {0.5f, 0.5f}, 0.76f, -15, 0.02f}, 0, false, 3),
        photo("letter on a pale desk", S::kLight, {K::kLetter, {0.52f, 0.5f}, 0.8f, 9, 0.015f}, 0.25f, false, 4),
        photo("a4 on granite in uneven light", S::kGranite, {K::kA4, {0.5f, 0.48f}, 0.82f, -4, 0.02f}, 0.45f, true, 5),
        photo("id card on a dark desk", S::kDark, {K::kIdCard, {0.45f, 0.55f}, 0.35f, 12, 0.01f}, 0.1f, false, 6),
        photo("id card on wood in perspective", S::kWood, {K::kIdCard, {0.55f, 0.45f}, 0.4f, -7, 0.03f}, 0, true, 7),
        photo("receipt on plaid", S::kPlaid, {K::kReceipt, {0.5f, 0.5f}, 0.85f, 5, 0.01f}, 0.15f, false, 8),
        photo("receipt on granite", S::kGranite, {K::kReceipt, {0.45f, 0.5f}, 0.8f, -12, 0.015f}, 0, false, 9),
        photo("id card on plaid", S::kPlaid, {K::kIdCard, {0.5f, 0.5f}, 0.38f, -3, 0.02f}, 0.2f, false, 10),
        photo("letter on wood turned 11 degrees", S::kWood, {K::kLetter, {0.5f, 0.52f}, 0.78f, -11, 0.025f}, 0.3f, false, 11),
        photo("a4 on a pale desk under a shadow", S::kLight, {K::kA4, {0.5f, 0.5f}, 0.8f, 3, 0.01f}, 0.2f, true, 12),
    };
}

std::vector<PhotoSpec> twoDocumentPhotos(cv::Size size) {
    using K = DocumentKind;
    PhotoSpec cards;
    cards.name = "both sides of a card on a dark desk";
    cards.size = size;
    cards.surface = Surface::kDark;
    cards.documents = {{K::kIdCard, {0.3f, 0.4f}, 0.3f, 4, 0.01f},
                       {K::kIdCard, {0.7f, 0.62f}, 0.3f, -10, 0.01f}};
    cards.seed = 21;
    PhotoSpec pageAndCard;
    pageAndCard.name = "a page and a card on wood";
    pageAndCard.size = size;
    pageAndCard.surface = Surface::kWood;
    pageAndCard.documents = {{K::kA4, {0.33f, 0.5f}, 0.8f, -5, 0.01f},
                             {K::kIdCard, {0.78f, 0.55f}, 0.26f, 8, 0.01f}};
    pageAndCard.lightFalloff = 0.2f;
    pageAndCard.seed = 22;
    return {cards, pageAndCard};
}

pictavo::Frame frameOf(const cv::Mat& bgr) {
    pictavo::Frame frame;
    frame.width = bgr.cols;
    frame.height = bgr.rows;
    frame.pixels.resize(frame.rowBytes() * static_cast<size_t>(frame.height));
    for (int y = 0; y < bgr.rows; ++y)
        std::copy(bgr.ptr(y), bgr.ptr(y) + frame.rowBytes(), frame.row(y));
    return frame;
}

}  // namespace pictavo_test
