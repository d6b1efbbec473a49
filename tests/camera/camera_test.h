// A command service over the recording fake, with the process-wide preview state put back to
// its start values around every test.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "camera/preview.h"
#include "command_test.h"
#include "fake_pictavo.h"

namespace lenvaro::testing {

class CameraTest : public CommandTest {
  protected:
    CameraTest() { resetPreview(); }
    ~CameraTest() override { resetPreview(); }

    // The quoted reply form.
    static std::string quoted(const std::string& name, const std::string& result) {
        return "{\"FuncName\":\"" + name + "\",\"result\":\"" + result + "\"}";
    }
};

}  // namespace lenvaro::testing
