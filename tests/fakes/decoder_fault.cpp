// A stand-in for the barcode decoder's entry point, preloaded into the service by the end-to-end
// tests (LD_PRELOAD) so that a decode can be made to fail the way a hostile image makes a real
// decoder fail. LENVARO_TEST_DECODER=abort aborts inside the decode, =hang never returns; any
// other value (or none) hands the call to the real decoder.
#include <ZXing/ReadBarcode.h>
#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace ZXing {

Results ReadBarcodes(const ImageView& image, const DecodeHints& hints) {
    const char* fault = std::getenv("LENVARO_TEST_DECODER");
    if (fault != nullptr && std::strcmp(fault, "abort") == 0) std::abort();
    if (fault != nullptr && std::strcmp(fault, "hang") == 0) {
        for (;;) ::pause();
    }
    using Decode = Results (*)(const ImageView&, const DecodeHints&);
    static const auto real = reinterpret_cast<Decode>(
        ::dlsym(RTLD_NEXT, "_ZN5ZXing12ReadBarcodesERKNS_9ImageViewERKNS_11DecodeHintsE"));
    if (real == nullptr) std::abort();
    return real(image, hints);
}

}  // namespace ZXing
