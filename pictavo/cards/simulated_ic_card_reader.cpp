// The simulated IC card reader.
#include "pictavo/cards/simulated_ic_card_reader.h"

#include <cstdio>
#include <utility>

namespace pictavo {

namespace {

std::mt19937_64 seededGenerator() {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device(), device(), device()};
    return std::mt19937_64(seed);
}

}  // namespace

SimulatedIcCardReader::SimulatedIcCardReader(IcCardSettings card, TerminalSettings terminal)
    : pinPad_(card.pinPad),
      random_(seededGenerator()),
      card_(std::move(card), [this] { return newToken(); }, std::move(terminal)) {}

int SimulatedIcCardReader::run(IcOperation operation, const IcRequest& request, std::string& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    return card_.run(
        operation, request, [this] { return typePin(); }, out);
}

std::string SimulatedIcCardReader::typePin() {
    if (pinPad_.empty()) return "";
    const std::string& entry = pinPad_[pinPadNext_];
    if (pinPadNext_ + 1 < pinPad_.size()) ++pinPadNext_;
    return entry;
}

std::string SimulatedIcCardReader::newToken() {
    char text[17];
    std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(random_()));
    return text;
}

}  // namespace pictavo
