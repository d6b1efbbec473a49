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
void writeLines(cv::Mat& document, cv::Rect area, int font, double fontScale, int thickness,
                Random& random, std::vector<cv::Rect>& boxes, int paragraphEvery = 6,
                cv::Scalar ink = cv::Scalar(40, 38, 35)) {
    int baseline = 0;
    const cv::Size letter = cv::getTextSize("Hg", font, fontScale, thickness, &baseline);
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
            if (cv::getTextSize(next, font, fontScale, thickness, &baseline).width > targetWidth)
                break;
            text = next;
        }
        if (text.empty()) break;
        const cv::Size size = cv::getTextSize(text, font, fontScale, thickness, &baseline);
        cv::putText(document, text, {area.x, y}, font, fontScale, ink, thickness, cv::LINE_AA);
        boxes.emplace_back(area.x, y - size.height, size.width, size.height + baseline);
        y += lastOfParagraph ? lineHeight * 2 : lineHeight;
    }
}

// One line of text fitted into `box` (its height, or its width if that is the narrower fit).
void writeTitle(cv::Mat& document, const std::string& title, cv::Rect box, int font,
                cv::Scalar ink, std::vector<cv::Rect>& boxes) {
    int baseline = 0;
    const cv::Size unit = cv::getTextSize(title, font, 1.0, 1, &baseline);
    const double scale = std::min(box.height * 0.6 / unit.height, box.width * 0.9 / unit.width);
    const int thickness = std::max(1, static_cast<int>(std::lround(scale * 1.5)));
    const cv::Size size = cv::getTextSize(title, font, scale, thickness, &baseline);
    const cv::Point origin(box.x + (box.width - size.width) / 2,
                           box.y + (box.height + size.height) / 2);
    cv::putText(document, title, origin, font, scale, ink, thickness, cv::LINE_AA);
    boxes.emplace_back(origin.x, origin.y - size.height, size.width, size.height + baseline);
}

// A portrait: a face and shoulders on `background`.
void drawPortrait(cv::Mat& document, cv::Rect box, cv::Scalar background) {
    cv::rectangle(document, box, background, cv::FILLED);
    const cv::Point centre(box.x + box.width / 2, box.y + box.height * 2 / 5);
    cv::ellipse(document, cv::Point(centre.x, box.y + box.height),
                cv::Size(box.width * 2 / 5, box.height * 3 / 10), 0, 180, 360,
                cv::Scalar(70, 60, 55), cv::FILLED);
    cv::ellipse(document, centre, cv::Size(box.width / 4, box.height / 4), 0, 0, 360,
                cv::Scalar(120, 145, 185), cv::FILLED);
}

// The cards of the set (ID-1: 85.6 x 54 mm), in their own pixels, with their text boxes. Their
// layout (which side the portrait is on, how tall the band is) varies with the photo's seed.
cv::Mat drawCard(DocumentKind kind, int height, int font, Random& random,
                 std::vector<cv::Rect>& text) {
    const int width = static_cast<int>(std::lround(height * 85.6 / 54));
    cv::Mat card(height, width, CV_8UC3);
    const int margin = height / 12;
    const double scale = height / 300.0;
    const int thickness = std::max(1, height / 150);
    const bool portraitRight = kind != DocumentKind::kIdCard && kind != DocumentKind::kPhotoCard &&
                               random.below(2) == 1;
    // The portrait box and the text beside it, below a band `top` tall.
    const auto portraitAndLines = [&](int top, cv::Scalar background, cv::Scalar frame) {
        const int portraitWidth = width * 28 / 100;
        const cv::Rect portrait(portraitRight ? width - margin - portraitWidth : margin,
                                top + margin, portraitWidth, height - top - 2 * margin);
        drawPortrait(card, portrait, background);
        if (frame != background)
            cv::rectangle(card, portrait, frame, std::max(2, height / 90));
        const int textLeft = portraitRight ? margin : portrait.br().x + margin;
        writeLines(card, cv::Rect(textLeft, top + margin, width - portraitWidth - 3 * margin,
                                  (height - top) * 7 / 10),
                   font, scale, thickness, random, text, 99);
    };
    switch (kind) {
        case DocumentKind::kIdCard: {
            // A pale blue card with a portrait, a title band and a few lines.
            for (int y = 0; y < height; ++y)
                card.row(y).setTo(cv::Scalar(235 - 25 * y / height, 222 - 10 * y / height, 200));
            cv::rectangle(card, cv::Rect(0, 0, width, height / 6), cv::Scalar(150, 90, 40),
                          cv::FILLED);
            const cv::Rect portrait(margin, height / 6 + margin, width * 28 / 100,
                                    height - height / 6 - 2 * margin);
            cv::rectangle(card, portrait, cv::Scalar(170, 180, 190), cv::FILLED);
            cv::ellipse(card, (portrait.tl() + portrait.br()) / 2,
                        cv::Size(portrait.width / 3, portrait.height * 2 / 5), 0, 0, 360,
                        cv::Scalar(120, 140, 170), cv::FILLED);
            writeLines(card,
                       cv::Rect(portrait.br().x + margin, height / 6 + margin,
                                width - portrait.br().x - 2 * margin, height * 6 / 10),
                       font, scale, thickness, random, text, 99);
            break;
        }
        case DocumentKind::kDarkBandCard: {
            for (int y = 0; y < height; ++y)
                card.row(y).setTo(cv::Scalar(214 - 12 * y / height, 232 - 6 * y / height, 240));
            const int band = height * (18 + random.below(7)) / 100;
            cv::rectangle(card, cv::Rect(0, 0, width, band), cv::Scalar(42, 27, 18), cv::FILLED);
            writeTitle(card, "RESIDENT IDENTITY CARD", cv::Rect(margin, 0, width - 2 * margin, band),
                       font, cv::Scalar(235, 240, 240), text);
            portraitAndLines(band, cv::Scalar(190, 192, 196), cv::Scalar(190, 192, 196));
            break;
        }
        case DocumentKind::kPaleCard: {
            card.setTo(cv::Scalar(245, 247, 247));
            // Faint guilloche waves across the face.
            for (int k = 0; k < 6; ++k) {
                std::vector<cv::Point> wave;
                for (int x = 0; x <= width; x += 4)
                    wave.emplace_back(x, height * (k + 1) / 7 +
                                             static_cast<int>(height / 30.0 * std::sin(x * 0.02 + k)));
                cv::polylines(card, wave, false, cv::Scalar(236, 240, 242), 1, cv::LINE_AA);
            }
            const int top = height / 7;
            writeTitle(card, "IDENTITY CARD", cv::Rect(margin, 0, width - 2 * margin, top), font,
                       cv::Scalar(80, 70, 60), text);
            portraitAndLines(top, cv::Scalar(214, 217, 220), cv::Scalar(120, 122, 125));
            break;
        }
        case DocumentKind::kBankCard: {
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x) {
                    const float t = 0.5f * (static_cast<float>(x) / width + static_cast<float>(y) / height);
                    card.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uint8_t>(120 - 30 * t),
                                                         static_cast<uint8_t>(48 - 20 * t),
                                                         static_cast<uint8_t>(26 + 50 * t));
                }
            const cv::Rect chip(width * 12 / 100, height * 33 / 100, width * 14 / 100, height * 20 / 100);
            cv::rectangle(card, chip, cv::Scalar(90, 175, 215), cv::FILLED);
            cv::rectangle(card, chip, cv::Scalar(60, 120, 150), std::max(1, height / 150));
            writeTitle(card, "6212 3456 7890 1234",
                       cv::Rect(margin, height * 58 / 100, width * 8 / 10, height / 7),
                       font, cv::Scalar(225, 230, 232), text);
            writeTitle(card, "CARD HOLDER  VALID 08/29",
                       cv::Rect(margin, height * 76 / 100, width * 6 / 10, height / 9),
                       font, cv::Scalar(215, 220, 222), text);
            writeTitle(card, "DEBIT", cv::Rect(width * 62 / 100, margin, width / 3, height / 7),
                       font, cv::Scalar(225, 230, 232), text);
            const int r = height / 9;
            cv::circle(card, {width - margin - 3 * r, height - margin - r}, r,
                       cv::Scalar(40, 40, 200), cv::FILLED, cv::LINE_AA);
            cv::circle(card, {width - margin - r * 3 / 2, height - margin - r}, r,
                       cv::Scalar(30, 150, 240), cv::FILLED, cv::LINE_AA);
            break;
        }
        case DocumentKind::kPhotoCard: {
            card.setTo(cv::Scalar(234, 239, 242));
            const int top = height / 5;
            writeTitle(card, "IDENTITY CARD", cv::Rect(width * 36 / 100, 0, width * 6 / 10, top),
                       font, cv::Scalar(70, 60, 50), text);
            // The photo runs out over the left and the bottom edge.
            drawPortrait(card, cv::Rect(0, top, width * 32 / 100, height - top),
                         cv::Scalar(62, 58, 56));
            writeLines(card, cv::Rect(width * 36 / 100, top + margin, width * 58 / 100,
                                      (height - top) * 7 / 10),
                       font, scale, thickness, random, text, 99);
            break;
        }
        default:
            break;
    }
    return card;
}

// The document in its own pixels, `height` tall, with its text boxes.
cv::Mat drawDocument(DocumentKind kind, int height, int font, Random& random,
                     std::vector<cv::Rect>& text) {
    if (isCard(kind)) return drawCard(kind, height, font, random, text);
    // Sizes in millimetres: the documents' own aspect ratios.
    const double mm[][2] = {{210, 297}, {215.9, 279.4}, {80, 220}};
    const auto* dims = mm[static_cast<int>(kind)];
    const int width = static_cast<int>(std::lround(height * dims[0] / dims[1]));
    cv::Mat document(height, width, CV_8UC3);
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
               font, scale, thickness, random, text);
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
        case Surface::kWood:
        case Surface::kWalnut: {
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
                    row[x] = (surface == Surface::kWood ? cv::Vec3f(45, 95, 150)
                                                        : cv::Vec3f(30, 48, 78)) * shade;
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
        case Surface::kWhite:
        case Surface::kPaleGrey:
        case Surface::kBeige:
        case Surface::kBlue:
        case Surface::kGreen:
        case Surface::kTeal: {
            // Plain tops with a little unevenness of their own.
            const cv::Vec3f colour = surface == Surface::kWhite      ? cv::Vec3f(232, 234, 235)
                                     : surface == Surface::kPaleGrey ? cv::Vec3f(222, 223, 224)
                                     : surface == Surface::kBeige    ? cv::Vec3f(188, 212, 229)
                                     : surface == Surface::kBlue     ? cv::Vec3f(200, 160, 115)
                                     : surface == Surface::kGreen    ? cv::Vec3f(115, 160, 105)
                                                                     : cv::Vec3f(165, 155, 85);
            const cv::Mat unevenness = smoothNoise(size, size.width / 8, random);
            for (int y = 0; y < size.height; ++y) {
                auto* row = desk.ptr<cv::Vec3f>(y);
                const float* shade = unevenness.ptr<float>(y);
                for (int x = 0; x < size.width; ++x) row[x] = colour * (0.985f + 0.03f * shade[x]);
            }
            break;
        }
        case Surface::kCloth: {
            // Cream dots and green leaves, staggered, on a navy, red or dark green ground.
            const cv::Scalar grounds[] = {{62, 36, 28}, {55, 48, 150}, {40, 70, 30}};
            desk.setTo(grounds[random.below(3)]);
            const int period = std::max(20, size.width / 28);
            for (int row = 0; row * period < size.height + period; ++row)
                for (int column = 0; column * period < size.width + period; ++column) {
                    const cv::Point centre(column * period + (row % 2) * period / 2, row * period);
                    cv::circle(desk, centre, period / 5, cv::Scalar(200, 225, 235), cv::FILLED,
                               cv::LINE_AA);
                    cv::ellipse(desk, centre + cv::Point(period / 2, period / 4),
                                cv::Size(period / 5, period / 10), 30 * ((row + column) % 6), 0, 360,
                                cv::Scalar(60, 130, 55), cv::FILLED, cv::LINE_AA);
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

// Photos of one document each, of one size.
struct OnePhoto {
    cv::Size size;
    PhotoSpec operator()(const char* name, Surface surface, DocumentSpec document, float falloff,
                         bool shadow, unsigned seed) const {
        PhotoSpec spec;
        spec.name = name;
        spec.size = size;
        spec.surface = surface;
        spec.documents = {document};
        spec.lightFalloff = falloff;
        spec.shadow = shadow;
        spec.seed = seed;
        return spec;
    }
};

}  // namespace

bool isCard(DocumentKind kind) {
    return kind != DocumentKind::kA4 && kind != DocumentKind::kLetter &&
           kind != DocumentKind::kReceipt;
}

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
        cv::Mat document = drawDocument(d.kind, height, spec.font, random, placed.text);
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
        // A card's corners are rounded (3.18 mm of its 54 mm).
        cv::Mat mask(document.size(), CV_32F, cv::Scalar(1));
        if (isCard(d.kind)) {
            cv::Mat rounded = cv::Mat::zeros(document.size(), CV_8U);
            const int r = static_cast<int>(std::lround(height * 3.18 / 54));
            const int right = document.cols - 1 - r, bottom = document.rows - 1 - r;
            cv::rectangle(rounded, cv::Point(r, 0), cv::Point(right, document.rows - 1),
                          cv::Scalar(255), cv::FILLED);
            cv::rectangle(rounded, cv::Point(0, r), cv::Point(document.cols - 1, bottom),
                          cv::Scalar(255), cv::FILLED);
            for (const cv::Point& c : {cv::Point(r, r), cv::Point(right, r), cv::Point(right, bottom),
                                       cv::Point(r, bottom)})
                cv::circle(rounded, c, r, cv::Scalar(255), cv::FILLED, cv::LINE_AA);
            rounded.convertTo(mask, CV_32F, 1.0 / 255);
        }
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
    const OnePhoto photo{size};
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
        photo("a4 on a blue mat", S::kBlue, {K::kA4, {0.5f, 0.5f}, 0.8f, -7, 0.015f}, 0.2f, false, 13),
        photo("letter on a green mat", S::kGreen, {K::kLetter, {0.48f, 0.5f}, 0.78f, 5, 0.02f}, 0.1f, true, 14),
        photo("receipt on a teal desk", S::kTeal, {K::kReceipt, {0.5f, 0.5f}, 0.82f, 10, 0.01f}, 0.25f, false, 15),
        photo("a4 on a white desk", S::kWhite, {K::kA4, {0.5f, 0.5f}, 0.8f, 8, 0.012f}, 0.15f, false, 16),
        photo("a4 on a white desk turned the other way", S::kWhite, {K::kA4, {0.49f, 0.51f}, 0.76f, -10, 0.02f}, 0.25f, false, 17),
    };
}

std::vector<PhotoSpec> cardPhotos(cv::Size size) {
    using K = DocumentKind;
    using S = Surface;
    const OnePhoto photo{size};
    const auto withFont = [](PhotoSpec spec, int font) {
        spec.font = font;
        return spec;
    };
    return {
        photo("dark band card on walnut", S::kWalnut, {K::kDarkBandCard, {0.5f, 0.5f}, 0.4f, 8, 0.02f}, 0.1f, true, 31),
        photo("dark band card on cloth", S::kCloth, {K::kDarkBandCard, {0.48f, 0.52f}, 0.38f, -14, 0.02f}, 0, false, 32),
        photo("pale card on white turned 17 degrees", S::kWhite, {K::kPaleCard, {0.5f, 0.5f}, 0.36f, 17, 0.03f}, 0.15f, false, 33),
        photo("pale card on pale grey in perspective", S::kPaleGrey, {K::kPaleCard, {0.52f, 0.48f}, 0.4f, -9, 0.035f}, 0.1f, false, 34),
        photo("large pale card on white", S::kWhite, {K::kPaleCard, {0.5f, 0.5f}, 0.6f, 5, 0.02f}, 0.2f, false, 35),
        photo("bank card on a dark desk turned 20 degrees", S::kDark, {K::kBankCard, {0.5f, 0.5f}, 0.38f, -20, 0.02f}, 0.1f, false, 36),
        photo("bank card on beige", S::kBeige, {K::kBankCard, {0.45f, 0.55f}, 0.34f, 12, 0.025f}, 0, true, 37),
        photo("photo card on a dark desk", S::kDark, {K::kPhotoCard, {0.5f, 0.5f}, 0.4f, 4, 0.02f}, 0.15f, false, 38),
        photo("photo card on granite", S::kGranite, {K::kPhotoCard, {0.5f, 0.46f}, 0.36f, -18, 0.025f}, 0, false, 39),
        photo("id card on a blue mat", S::kBlue, {K::kIdCard, {0.5f, 0.5f}, 0.4f, 10, 0.02f}, 0.1f, false, 40),
        photo("pale card on a green mat", S::kGreen, {K::kPaleCard, {0.5f, 0.5f}, 0.36f, -6, 0.02f}, 0.2f, true, 41),
        photo("dark band card on a teal desk", S::kTeal, {K::kDarkBandCard, {0.5f, 0.5f}, 0.36f, 20, 0.015f}, 0, false, 42),
        photo("pale card on beige under a shadow", S::kBeige, {K::kPaleCard, {0.46f, 0.5f}, 0.34f, 3, 0.03f}, 0.1f, true, 43),
        photo("pale card on white under a shadow", S::kWhite, {K::kPaleCard, {0.52f, 0.5f}, 0.36f, -12, 0.03f}, 0.15f, true, 44),
        photo("pale card on pale grey under a shadow", S::kPaleGrey, {K::kPaleCard, {0.48f, 0.5f}, 0.4f, 15, 0.02f}, 0.1f, true, 45),
        photo("large photo card on a dark desk under a shadow", S::kDark, {K::kPhotoCard, {0.5312f, 0.5137f}, 0.5665f, 10.772f, 0.0197f}, 0.2613f, true, 1037),
        withFont(photo("bank card on cloth under a shadow", S::kCloth, {K::kBankCard, {0.5339f, 0.5266f}, 0.3334f, 2.5016f, 0.007f}, 0.0952f, true, 1008), 3),
        withFont(photo("bank card on cloth turned 12 degrees", S::kCloth, {K::kBankCard, {0.5384f, 0.4838f}, 0.307f, -11.856f, 0.03264f}, 0.0196f, true, 1031), 1),
        withFont(photo("large pale card on beige in perspective", S::kBeige, {K::kPaleCard, {0.4549f, 0.4883f}, 0.5529f, 14.562f, 0.03356f}, 0.2266f, false, 1059), 1),
        photo("dark band card on plaid in perspective", S::kPlaid, {K::kDarkBandCard, {0.48f, 0.5404f}, 0.503f, -4.232f, 0.02207f}, 0.2543f, false, 1020),
        photo("pale card on pale grey turned 4 degrees", S::kPaleGrey, {K::kPaleCard, {0.502f, 0.4673f}, 0.357f, 3.901f, 0.01457f}, 0.1501f, false, 1014),
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
    PhotoSpec paleCardBesidePage = pageAndCard;
    paleCardBesidePage.name = "a pale card beside a page on a pale desk";
    paleCardBesidePage.surface = Surface::kLight;
    paleCardBesidePage.documents = {{K::kLetter, {0.34f, 0.5f}, 0.82f, 4, 0.015f},
                                    {K::kPaleCard, {0.79f, 0.42f}, 0.27f, -12, 0.015f}};
    paleCardBesidePage.seed = 23;
    PhotoSpec bankCardBesidePage = pageAndCard;
    bankCardBesidePage.name = "a bank card beside a page on a teal desk";
    bankCardBesidePage.surface = Surface::kTeal;
    bankCardBesidePage.documents = {{K::kA4, {0.64f, 0.5f}, 0.84f, -3, 0.01f},
                                    {K::kBankCard, {0.2f, 0.6f}, 0.26f, 15, 0.015f}};
    bankCardBesidePage.seed = 24;
    return {cards, pageAndCard, paleCardBesidePage, bankCardBesidePage};
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
