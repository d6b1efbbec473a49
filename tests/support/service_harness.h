// A command service over the recording fake, with the messages it sends collected in order.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "common/paths.h"
#include "fake_pictavo.h"
#include "service/command_service.h"
#include "service/dispatch.h"
#include "service/reply_route.h"

namespace lenvaro::testing {

class ServiceHarness {
public:
    ServiceHarness() {
        pictavo_fake::Fake::reset();
        service_ = std::make_unique<CommandService>(scratch_.path(), [this](std::string text) {
            std::lock_guard<std::mutex> lock(mutex_);
            sent_.push_back(std::move(text));
            routes_.push_back(currentReplyRoute());
        });
        pictavo_fake::Fake::clearCalls();  // forget the constructor's camInitCameraLib
    }
    ~ServiceHarness() { pictavo_fake::Fake::reset(); }

    CommandService& service() { return *service_; }

    // Handles one request and returns what was sent because of it.
    std::vector<std::string> request(const std::string& text) {
        const size_t before = sent().size();
        handleRequest(*service_, text);
        const std::vector<std::string> all = sent();
        return std::vector<std::string>(all.begin() + static_cast<long>(before), all.end());
    }

    std::vector<std::string> sent() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return sent_;
    }

    // The reply route each message was sent with, in the order of sent().
    std::vector<ReplyRoute> routes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return routes_;
    }

    static std::vector<std::string> calls() { return pictavo_fake::Fake::callLog(); }

private:
    ScratchDirectory scratch_;
    mutable std::mutex mutex_;
    std::vector<std::string> sent_;
    std::vector<ReplyRoute> routes_;
    std::unique_ptr<CommandService> service_;
};

}  // namespace lenvaro::testing
