// Re-initialisation of the ID card reader, shared by the card commands and the host.
#pragma once

#include <mutex>

namespace lenvaro {

class CommandService;

// Held by whoever talks to the card reader, so that a reset asked from outside (the host's
// SIGUSR1) never lands in the middle of a read on the service thread. Recursive: a card command
// may hold it across its own resetCardReader() and the read that follows.
std::recursive_mutex& cardReaderMutex();

// Closes and reopens the card reader: idcardrfidUnInit, then idcardrfidInit. Every caller
// ignores the outcome, so nothing is returned. Takes cardReaderMutex(); any thread.
void resetCardReader();

// A command handler run with cardReaderMutex() held from start to end, so that a reset from
// outside waits for the whole read: bind `whileHoldingCardReader<handler>` in place of `handler`.
template <void (*handler)(CommandService&)>
void whileHoldingCardReader(CommandService& service) {
    std::lock_guard<std::recursive_mutex> lock(cardReaderMutex());
    handler(service);
}

}  // namespace lenvaro
