// An environment variable set, or removed, for the life of the object and put back afterwards.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace lenvaro::testing {

class ScopedEnvironment {
public:
    // A null `value` removes the variable.
    ScopedEnvironment(std::string name, const char* value) : name_(std::move(name)) {
        if (const char* old = std::getenv(name_.c_str())) previous_ = old;
        if (value != nullptr) {
            setenv(name_.c_str(), value, 1);
        } else {
            unsetenv(name_.c_str());
        }
    }
    ScopedEnvironment(std::string name, const std::string& value)
        : ScopedEnvironment(std::move(name), value.c_str()) {}
    ~ScopedEnvironment() {
        if (previous_) {
            setenv(name_.c_str(), previous_->c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::string name_;
    std::optional<std::string> previous_;
};

}  // namespace lenvaro::testing
