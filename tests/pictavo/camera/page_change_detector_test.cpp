// Auto capture's page detection on the document scene: the living parts of a page (its dot, its
// clock) are no new page, a turned page is, once, after it comes to rest.
#include "pictavo/camera/page_change_detector.h"

#include <gtest/gtest.h>

#include <chrono>

#include "camera_test_support.h"
#include "pictavo/camera/frame_generator.h"

namespace {

using namespace pictavo;
using namespace std::chrono_literals;

class PageChangeTest : public testing::Test {
  protected:
    // Feeds `count` frames of the scene, 100 ms apart; returns how many reported a new page.
    int feed(PageChangeDetector& detector, int count) {
        int pages = 0;
        for (int i = 0; i < count; ++i) {
            Frame frame;
            scene_.render(frame, {640, 480}, now_);
            now_ += 100ms;
            pages += detector.feed(frame, at_);
            at_ += 100ms;
        }
        return pages;
    }

    DocumentScene scene_;
    std::chrono::system_clock::time_point now_ = std::chrono::system_clock::now();
    PageChangeDetector::Clock::time_point at_ = PageChangeDetector::Clock::now();
};

TEST_F(PageChangeTest, TheLivingPageIsNoNewPageButATurnedOneIsOnce) {
    PageChangeDetector detector(250ms, false);
    EXPECT_EQ(feed(detector, 60), 0) << "six seconds of a dot running and a clock ticking";
    scene_.nextPage();
    EXPECT_EQ(feed(detector, 2), 0) << "not before the page has come to rest";
    EXPECT_EQ(feed(detector, 30), 1);
    scene_.nextPage();
    scene_.nextPage();
    EXPECT_EQ(feed(detector, 30), 1) << "two quick turns, one page at rest";
}

TEST_F(PageChangeTest, APageThatNeverRestsIsNotTaken) {
    PageChangeDetector detector(250ms, false);
    EXPECT_EQ(feed(detector, 10), 0);
    int pages = 0;
    for (int i = 0; i < 20; ++i) {
        scene_.nextPage();  // a page turned on every frame: a hand leafing through
        pages += feed(detector, 1);
    }
    EXPECT_EQ(pages, 0);
    EXPECT_EQ(feed(detector, 10), 1) << "the one it stops at";
}

TEST_F(PageChangeTest, SensitiveDetectionTakesSmallerChanges) {
    // A small sticker put on the page: about 5% of the picture.
    Frame base = pictavo_test::solidFrame(640, 480, 250, 250, 250);
    Frame marked = base;
    fillRect(marked, 100, 100, 140, 110, 20, 20, 20);
    for (bool sensitive : {false, true}) {
        PageChangeDetector detector(150ms, sensitive);
        auto at = PageChangeDetector::Clock::now();
        int pages = 0;
        for (int i = 0; i < 5; ++i, at += 100ms) pages += detector.feed(base, at);
        for (int i = 0; i < 5; ++i, at += 100ms) pages += detector.feed(marked, at);
        EXPECT_EQ(pages, sensitive ? 1 : 0) << sensitive;
    }
}

TEST_F(PageChangeTest, RestIsMeasuredInTimeNotFrames) {
    // Frames arriving slowly (a loaded computer): a page is at rest after the same time.
    PageChangeDetector detector(500ms, false);
    EXPECT_EQ(feed(detector, 10), 0);
    scene_.nextPage();
    Frame frame;
    scene_.render(frame, {640, 480}, now_);
    EXPECT_FALSE(detector.feed(frame, at_));
    EXPECT_FALSE(detector.feed(frame, at_ + 100ms));
    EXPECT_FALSE(detector.feed(frame, at_ + 300ms)) << "still, but not for long enough";
    EXPECT_TRUE(detector.feed(frame, at_ + 600ms));
}

}  // namespace
