// Card reader re-initialisation through the capture library.
#include "cards/reset_card_reader.h"

#include "pictavo.h"

namespace lenvaro {

std::recursive_mutex& cardReaderMutex() {
    static std::recursive_mutex mutex;
    return mutex;
}

void resetCardReader() {
    std::lock_guard<std::recursive_mutex> lock(cardReaderMutex());
    // Both statuses are ignored: a reader that fails to come back shows as an empty read.
    idcardrfidUnInit();
    idcardrfidInit();
}

}  // namespace lenvaro
