// Re-initialisation of the ID card reader, shared by the card commands and the host.
#pragma once

#include <mutex>

namespace lenvaro {

// Held by whoever talks to the card reader, so that a reset asked from outside (the host's
// SIGUSR1) never lands in the middle of a read on the service thread. Recursive: a card command
// may hold it across its own resetCardReader() and the read that follows.
std::recursive_mutex& cardReaderMutex();

// Closes and reopens the card reader: idcardrfidUnInit, then idcardrfidInit. Every caller
// ignores the outcome, so nothing is returned. Takes cardReaderMutex(); any thread.
void resetCardReader();

}  // namespace lenvaro
