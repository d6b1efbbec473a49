// What a simulated camera shows: a synthetic document scene, or pictures from image files.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "pictavo/camera/camera.h"

namespace pictavo {

// Draws frames of one scene. Called from one thread (the simulated camera's frame thread).
class FrameGenerator {
  public:
    virtual ~FrameGenerator() = default;
    // Draws the scene at `size` into `frame` (B,G,R, bottom row first), resizing its pixels as
    // needed. `now` moves the living parts of the scene (a moving mark, a clock).
    virtual void render(Frame& frame, Resolution size,
                        std::chrono::system_clock::time_point now) = 0;
    // Puts the next page under the camera: the following frames show a visibly different scene.
    virtual void nextPage() = 0;
};

// A sheet of paper on a dark desk: a heading, lines of "text", a coloured figure and the page
// number, with a dot running along the bottom margin and a clock in the top right corner so a
// living preview is obvious. Each page differs in its layout and lies a little to the left or
// right, as a sheet put down by hand would. The still part is drawn once per page and size; each
// frame copies it and draws only the dot and the clock.
class DocumentScene final : public FrameGenerator {
  public:
    // `seed` varies the text layout between cameras.
    explicit DocumentScene(unsigned seed = 1);
    void render(Frame& frame, Resolution size, std::chrono::system_clock::time_point now) override;
    void nextPage() override;

    int page() const { return page_; }

  private:
    void drawStill(Resolution size);

    unsigned seed_;
    int page_ = 1;
    Frame still_;        // the page without its living parts
    int stillPage_ = 0;  // the page and size `still_` was drawn for
    int pageLeft_ = 0;   // where the sheet lies in `still_`, in pixels from the left ...
    int pageTop_ = 0;    // ... and from the top
    int pageWidth_ = 0;
    int pageHeight_ = 0;
};

// Pictures read from JPEG files, each fitted into the frame on a dark background (aspect kept;
// a picture of the frame's size is shown pixel for pixel) and shown exactly so: nothing is
// drawn over it, so captures and auto crop see the photo itself. nextPage() moves to the next
// file, round robin.
class ImageScene final : public FrameGenerator {
  public:
    // Reads every file now; files that cannot be read are left out and named in `problems`.
    // Create it only when at least one file was read (pages() > 0).
    ImageScene(const std::vector<std::string>& paths, std::vector<std::string>& problems);
    void render(Frame& frame, Resolution size, std::chrono::system_clock::time_point now) override;
    void nextPage() override;

    size_t pages() const { return images_.size(); }

  private:
    struct Picture {
        int width = 0;
        int height = 0;
        std::vector<uint8_t> rgb;  // top row first
    };
    std::vector<Picture> images_;
    size_t current_ = 0;
    Frame still_;
    size_t stillImage_ = static_cast<size_t>(-1);
};

// Drawing helpers shared by the scenes (and the tests). Coordinates count from the top left
// corner; everything is clipped to the frame.
void fillRect(Frame& frame, int x, int y, int width, int height, uint8_t r, uint8_t g, uint8_t b);
// Draws "HH:MM:SS.t" of local time `now` with its top right corner at (right, top), in digits
// `scale` pixels per dot, on a white plate.
void drawClock(Frame& frame, int right, int top, int scale,
               std::chrono::system_clock::time_point now);
// Draws decimal digits (and ':' '.') with its top left corner at (x, y).
void drawDigits(Frame& frame, const std::string& text, int x, int y, int scale, uint8_t r,
                uint8_t g, uint8_t b);

}  // namespace pictavo
