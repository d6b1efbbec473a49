// Base of the command tests: each test gets a fresh service over the recording fake.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fake_pictavo.h"
#include "service_harness.h"

namespace lenvaro::testing {

// What the command tests name unqualified (`using namespace lenvaro::testing;`): the messages
// sent and the call log as texts, byte buffers, and the recording fake's programming.
using Texts = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;
using pictavo_fake::bytesOf;
using pictavo_fake::Fake;
using pictavo_fake::Outcome;
using pictavo_fake::putUtf16;

class CommandTest : public ::testing::Test {
  protected:
    // Handles one request; what the service sent because of it.
    Texts request(const std::string& text) { return harness_.request(text); }
    Texts calls() const { return ServiceHarness::calls(); }
    CommandService& service() { return harness_.service(); }

    ServiceHarness harness_;
};

}  // namespace lenvaro::testing
