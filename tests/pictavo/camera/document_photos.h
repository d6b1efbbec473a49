// Photos of documents lying on desks, made here with known answers: pages, receipts and cards
// (with the rounded corners of ID-1 cards) drawn with text, placed on dark, pale, white, coloured,
// wooden, granite and patterned surfaces by a known homography (turned and seen in perspective),
// under uneven light and shadows, with sensor noise and JPEG artefacts. Deterministic: the same
// spec always gives the same photo. Shared by the tests and the benchmarks.
#pragma once

#include <opencv2/core.hpp>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "pictavo/camera/camera.h"

namespace pictavo_test {

enum class Surface {
    kDark, kLight, kWood, kGranite, kPlaid,
    kWalnut,                    // dark wood, about as dark as a card's dark band
    kWhite, kPaleGrey, kBeige,  // about as light as a pale card: edges of 10 to 20 levels
    kBlue, kGreen, kTeal,       // mats whose colour lies on the negative side of Lab's a or b
    kCloth,                     // a printed tablecloth: dots and flowers on a coloured ground
};
enum class DocumentKind {
    kA4, kLetter, kReceipt,
    kIdCard,        // pale blue, a blue title band, a portrait box and lines
    kDarkBandCard,  // cream, a near-black band with a white title along the top edge
    kPaleCard,      // nearly white, a framed portrait box and lines
    kBankCard,      // a dark gradient to every edge, a chip and a light number
    kPhotoCard,     // pale, its dark portrait photo reaching the left and bottom edges
};
bool isCard(DocumentKind kind);

struct DocumentSpec {
    DocumentKind kind = DocumentKind::kA4;
    cv::Point2f centre{0.5f, 0.5f};  // in fractions of the photo
    float height = 0.8f;             // of the document, in fractions of the photo's height
    float angleDegrees = 0;          // counter-clockwise
    float perspective = 0;           // corner displacement, in fractions of the document's size
};

struct PhotoSpec {
    std::string name;
    cv::Size size{1600, 1200};
    Surface surface = Surface::kDark;
    std::vector<DocumentSpec> documents;
    float lightFalloff = 0;  // 0 even light .. 0.5: one side half as bright as the other
    bool shadow = false;     // a soft shadow (a hand, the camera arm) across one corner
    float noise = 2.5f;      // sensor noise, standard deviation in levels
    int jpegQuality = 85;
    unsigned seed = 1;
    int font = 0;            // OpenCV's Hershey font of the documents' text (0: simplex)
};

struct PlacedDocument {
    cv::Size size;                         // the document as drawn, in its own pixels
    cv::Matx33d toPhoto;                   // its pixels to the photo's
    std::array<cv::Point2f, 4> corners;    // top left, top right, bottom right, bottom left
    std::vector<cv::Rect> text;            // where its text lies, in its own pixels
};

struct DocumentPhoto {
    std::string name;
    cv::Mat bgr;                // top row first, as decoded from `jpeg`
    std::vector<uint8_t> jpeg;  // the photo as a camera would send it
    std::vector<PlacedDocument> documents;
};

DocumentPhoto makePhoto(const PhotoSpec& spec);

// The set the automatic crop is checked on: every kind of document on every surface, turned
// up to 15 degrees, some in perspective, some shadowed. One document per photo.
std::vector<PhotoSpec> singleDocumentPhotos(cv::Size size);
// Cards alone: every card design on white, pale grey, beige, wooden, patterned, coloured and dark
// desks, turned up to 20 degrees and in perspective, some with faint edges and soft shadows.
std::vector<PhotoSpec> cardPhotos(cv::Size size);
// Photos with two documents each (both sides of a card; a page and a card).
std::vector<PhotoSpec> twoDocumentPhotos(cv::Size size);

// A photo as a camera frame: B,G,R, bottom row first.
pictavo::Frame frameOf(const cv::Mat& bgr);

}  // namespace pictavo_test
