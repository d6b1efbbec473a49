// The rule that names a capture after the barcode it shows.
#pragma once

#include <functional>
#include <string>

namespace pictavo {

// A barcode's text (UTF-8) made safe as a file name, in the interface's character set: every
// character that separates paths or that file systems and shells treat specially
// (/ \ : * ? " < > |) and every control character becomes "_", leading and trailing spaces and
// dots are removed (so no name can be "." or ".." or hide itself), and the name is cut to 200
// bytes after a whole character. "" when nothing is left.
std::string fileNameFromBarcode(const std::string& barcodeText);

// The path a capture requested as `requestedPath` is saved under when its image shows a code
// with `barcodeText`: the folder of the requested path, the safe name, then the extension of the
// requested file name (from its last "."). When that file exists, "_2", "_3", ... up to "_999"
// go before the extension, so no earlier capture is overwritten. The requested path itself when
// the text gives no name or every candidate exists.
std::string barcodeNamedPath(const std::string& requestedPath, const std::string& barcodeText,
                             const std::function<bool(const std::string&)>& exists);

}  // namespace pictavo
