// Base of the command tests: each test gets a fresh service over the recording fake.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service_harness.h"

namespace lenvaro::testing {

using Texts = std::vector<std::string>;

class CommandTest : public ::testing::Test {
  protected:
    // Handles one request; what the service sent because of it.
    Texts request(const std::string& text) { return harness_.request(text); }
    Texts calls() const { return ServiceHarness::calls(); }
    CommandService& service() { return harness_.service(); }

    ServiceHarness harness_;
};

}  // namespace lenvaro::testing
