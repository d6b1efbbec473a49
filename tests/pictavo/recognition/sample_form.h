// The sample form shipped in cfg/ (sample_form.jpg, described by cfg/templates.json): how it is
// drawn, and what its fields say.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "page_painter.h"

namespace pictavo_test {

// Field name and value, in the template's order.
const std::vector<std::pair<std::string, std::string>>& sampleFormFields();
// The text of the QR code in its top right corner.
inline constexpr const char* kSampleFormCode = "VRF-2024-000417";

// A4 at 150 dpi (1240 x 1754), grey.
GrayImage renderSampleForm();

}  // namespace pictavo_test
