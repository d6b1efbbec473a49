// Switches the service's internal code page for one test and back.
#pragma once

#include <string>

#include "common/code_page.h"

namespace lenvaro::testing {

class CodePageScope {
public:
    explicit CodePageScope(const std::string& name) : previous_(internalCodePage()) {
        setInternalCodePage(name);
    }
    ~CodePageScope() { setInternalCodePage(previous_); }
    CodePageScope(const CodePageScope&) = delete;
    CodePageScope& operator=(const CodePageScope&) = delete;

private:
    std::string previous_;
};

}  // namespace lenvaro::testing
