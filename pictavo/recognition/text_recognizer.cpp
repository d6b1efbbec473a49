// Text recognition with Tesseract.
#include "pictavo/recognition/text_recognizer.h"

#include <dirent.h>
#include <dlfcn.h>
#include <leptonica/allheaders.h>
#include <sys/stat.h>
#include <tesseract/baseapi.h>
#include <tesseract/renderer.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "common/file_writer.h"
#include "pictavo/recognition/image_file.h"
#include "pictavo/status.h"

namespace pictavo {
namespace {

constexpr const char* kSuffix = ".traineddata";
// Scans without a resolution are taken for ordinary document scans.
constexpr int kAssumedDpi = 300;

bool isDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

// Decodes the UTF-8 character at `at`; its length goes to `length` (1 for a stray byte).
char32_t codePointAt(const std::string& text, size_t at, size_t& length) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (at + length > text.size()) length = 1;
    if (length == 1) return lead;
    char32_t value = lead & (0xFF >> (length + 1));
    for (size_t i = 1; i < length; ++i) value = (value << 6) | (byte(at + i) & 0x3F);
    return value;
}

bool isWideScript(char32_t c) {
    return (c >= 0x2E80 && c <= 0x9FFF) || (c >= 0xAC00 && c <= 0xD7AF) ||
           (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFF00 && c <= 0xFFEF) ||
           (c >= 0x20000 && c <= 0x2FFFF);
}

struct TextDeleter {
    void operator()(char* text) const { delete[] text; }
};

// Tesseract needs a resolution to size its expectations; images without one get kAssumedDpi.
void ensureResolution(Pix* image) {
    if (pixGetXRes(image) <= 0 || pixGetYRes(image) <= 0)
        pixSetResolution(image, kAssumedDpi, kAssumedDpi);
}

// Debian builds Tesseract with OpenMP. Its worker threads spin while they wait and cost three to
// four times the CPU for the same page; on a computer that also encodes live preview, that
// makes every page slower, not faster. No parallel region gets more than one thread once the
// allowed nesting is zero. Looked up at run time, so a Tesseract without OpenMP needs nothing.
void runTesseractSingleThreaded() {
    using SetMaxActiveLevels = void (*)(int);
    const auto set =
        reinterpret_cast<SetMaxActiveLevels>(::dlsym(RTLD_DEFAULT, "omp_set_max_active_levels"));
    if (set != nullptr) set(0);
}

}  // namespace

std::string findTessdata(const std::string& configured, const char* environment) {
    std::vector<std::string> candidates;
    if (!configured.empty()) {
        candidates.push_back(configured);
    } else {
        if (environment != nullptr && *environment != '\0') {
            candidates.push_back(environment);
            candidates.push_back(std::string(environment) + "/tessdata");
        }
        candidates.push_back("/usr/share/tesseract-ocr/5/tessdata");
        candidates.push_back("/usr/share/tesseract-ocr/4.00/tessdata");
        candidates.push_back("/usr/share/tessdata");
    }
    for (const std::string& candidate : candidates) {
        if (isDirectory(candidate) && !installedLanguages(candidate).empty()) return candidate;
    }
    return "";
}

std::vector<std::string> installedLanguages(const std::string& tessdata) {
    std::vector<std::string> languages;
    DIR* dir = ::opendir(tessdata.c_str());
    if (dir == nullptr) return languages;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (!endsWith(name, kSuffix) || name.size() == std::string(kSuffix).size()) continue;
        const std::string language = name.substr(0, name.size() - std::string(kSuffix).size());
        if (language == "osd" || language == "equ") continue;
        languages.push_back(language);
    }
    ::closedir(dir);
    std::sort(languages.begin(), languages.end(), [](const std::string& a, const std::string& b) {
        if ((a == "eng") != (b == "eng")) return a == "eng";
        return a < b;
    });
    return languages;
}

std::string tidyPageText(const std::string& utf8) {
    std::string out;
    out.reserve(utf8.size());
    char32_t previous = 0;
    for (size_t at = 0; at < utf8.size();) {
        size_t length = 1;
        const char32_t c = codePointAt(utf8, at, length);
        if (c == ' ' && isWideScript(previous)) {
            // Drop the spaces only when a wide character follows them too.
            size_t next = at;
            while (next < utf8.size() && utf8[next] == ' ') ++next;
            size_t nextLength = 1;
            if (next < utf8.size() && isWideScript(codePointAt(utf8, next, nextLength))) {
                at = next;
                continue;
            }
        }
        if (c == '\n') {
            while (!out.empty() && (out.back() == ' ' || out.back() == '\t')) out.pop_back();
        }
        out.append(utf8, at, length);
        previous = c;
        at += length;
    }
    while (!out.empty() && std::isspace(static_cast<unsigned char>(out.back()))) out.pop_back();
    return out;
}

std::string tidyFieldText(const std::string& utf8) {
    const std::string page = tidyPageText(utf8);
    std::string out;
    bool space = false;
    for (char c : page) {
        if (std::isspace(static_cast<unsigned char>(c))) {
            space = !out.empty();
            continue;
        }
        if (space) out += ' ';
        space = false;
        out += c;
    }
    return out;
}

TextRecognizer::TextRecognizer(std::string tessdata)
    : tessdata_(std::move(tessdata)), languages_(installedLanguages(tessdata_)) {
    runTesseractSingleThreaded();
}

TextRecognizer::~TextRecognizer() {
    for (auto& entry : engines_) entry.second->End();
    // Dictionaries stay in a process-wide cache of Tesseract's until it is cleared.
    if (!engines_.empty()) tesseract::TessBaseAPI::ClearPersistentCache();
}

bool TextRecognizer::hasLanguage(const std::string& language) const {
    if (language.empty()) return false;
    for (const std::string& part : split(language, '+')) {
        if (std::find(languages_.begin(), languages_.end(), part) == languages_.end()) return false;
    }
    return true;
}

tesseract::TessBaseAPI* TextRecognizer::engine(const std::string& language) {
    auto it = engines_.find(language);
    if (it != engines_.end()) return it->second.get();
    auto api = std::make_unique<tesseract::TessBaseAPI>();
    if (api->Init(tessdata_.c_str(), language.c_str(), tesseract::OEM_DEFAULT) != 0) return nullptr;
    // Tesseract's own diagnostics would land on the service's standard error.
    api->SetVariable("debug_file", "/dev/null");
    return engines_.emplace(language, std::move(api)).first->second.get();
}

int TextRecognizer::readPage(Pix* image, const std::string& language, std::string& text) {
    text.clear();
    if (!hasLanguage(language)) return kNotSupported;
    if (image == nullptr) return kInvalidArgument;
    std::lock_guard<std::mutex> lock(mutex_);
    tesseract::TessBaseAPI* api = engine(language);
    if (api == nullptr) return kFailed;
    ensureResolution(image);
    api->SetPageSegMode(tesseract::PSM_AUTO);
    api->SetImage(image);
    const std::unique_ptr<char, TextDeleter> recognised(api->GetUTF8Text());
    api->Clear();
    if (!recognised) return kFailed;
    text = tidyPageText(recognised.get());
    return kOk;
}

int TextRecognizer::readAreas(Pix* image, const std::string& language,
                              const std::vector<Area>& areas, std::vector<std::string>& texts) {
    texts.clear();
    if (!hasLanguage(language)) return kNotSupported;
    if (image == nullptr) return kInvalidArgument;
    const int width = static_cast<int>(pixGetWidth(image));
    const int height = static_cast<int>(pixGetHeight(image));
    std::lock_guard<std::mutex> lock(mutex_);
    tesseract::TessBaseAPI* api = engine(language);
    if (api == nullptr) return kFailed;
    ensureResolution(image);
    api->SetPageSegMode(tesseract::PSM_SINGLE_BLOCK);
    // The image is prepared once; each rectangle is then recognised on its own.
    api->SetImage(image);
    int status = kOk;
    for (const Area& area : areas) {
        const int left = std::max(area.left, 0), top = std::max(area.top, 0);
        const int right = std::min(area.right, width), bottom = std::min(area.bottom, height);
        if (right <= left || bottom <= top) {
            texts.emplace_back();
            continue;
        }
        api->SetRectangle(left, top, right - left, bottom - top);
        const std::unique_ptr<char, TextDeleter> recognised(api->GetUTF8Text());
        if (!recognised) {
            status = kFailed;
            break;
        }
        texts.push_back(tidyFieldText(recognised.get()));
    }
    api->Clear();
    if (status != kOk) texts.clear();
    return status;
}

int TextRecognizer::writeSearchablePdf(const std::vector<std::string>& images,
                                       const std::string& language, const std::string& pdfPath) {
    if (!hasLanguage(language)) return kNotSupported;
    // The renderer writes "<base>.pdf": the shared writer's new file, named to end in ".pdf",
    // which takes the target's place once complete (common/file_writer.h).
    lenvaro::files::AtomicFile output(pdfPath, lenvaro::files::FileAccess::Document, ".pdf");
    if (!output.ready()) return kFileError;
    const std::string& written = output.temporaryPath();
    const std::string base = written.substr(0, written.size() - 4);

    int status = kOk;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        tesseract::TessBaseAPI* api = engine(language);
        if (api == nullptr) return kFailed;
        api->SetPageSegMode(tesseract::PSM_AUTO);
        // The renderer closes its file when it goes, before the file is put in place.
        tesseract::TessPDFRenderer renderer(base.c_str(), tessdata_.c_str(), false);
        status = renderer.BeginDocument("") ? kOk : kFileError;
        for (size_t page = 0; status == kOk && page < images.size(); ++page) {
            PixPtr image;
            status = readImage(images[page], image);
            if (status != kOk) break;
            ensureResolution(image.get());
            if (!api->ProcessPage(image.get(), static_cast<int>(page), images[page].c_str(),
                                  nullptr, 0, &renderer))
                status = renderer.happy() ? kFailed : kFileError;
        }
        api->Clear();
        if (status == kOk && !renderer.EndDocument()) status = kFileError;
    }
    if (status == kOk && !output.commit()) status = kFileError;
    return status;
}

}  // namespace pictavo
