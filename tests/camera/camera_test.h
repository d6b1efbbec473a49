// A command service over the recording fake, with the process-wide preview state put back to
// its start values around every test.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "camera/preview.h"
#include "fake_pictavo.h"
#include "service_harness.h"

namespace lenvaro::testing {

using Texts = std::vector<std::string>;

class CameraTest : public ::testing::Test {
  protected:
    CameraTest() { resetPreview(); }
    ~CameraTest() override { resetPreview(); }

    Texts request(const std::string& text) { return harness_.request(text); }
    Texts calls() const { return ServiceHarness::calls(); }
    CommandService& service() { return harness_.service(); }

    // The quoted reply form.
    static std::string quoted(const std::string& name, const std::string& result) {
        return "{\"FuncName\":\"" + name + "\",\"result\":\"" + result + "\"}";
    }

    ServiceHarness harness_;
};

}  // namespace lenvaro::testing
