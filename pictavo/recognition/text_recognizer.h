// Tesseract, shared by text recognition and template recognition: one engine per language,
// loaded on first use and kept (loading a language takes about a second), used by one caller at
// a time.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pictavo/recognition/barcode_reader.h"

struct Pix;
namespace tesseract {
class TessBaseAPI;
}

namespace pictavo {

// The Tesseract data folder: `configured` when given, else the folder TESSDATA_PREFIX
// (`environment`) names (or its "tessdata" subfolder), else the Debian package folders of
// Tesseract 5 and 4; the first that holds a language. "" when none does.
std::string findTessdata(const std::string& configured, const char* environment);

// The languages installed in `tessdata` ("eng", "chi_sim", ...): English first, the others in
// alphabetical order; orientation and equation data are not languages.
std::vector<std::string> installedLanguages(const std::string& tessdata);

// Recognised text, UTF-8: spaces Tesseract puts between Chinese, Japanese or Korean characters
// go, and trailing white space of every line and of the whole text.
std::string tidyPageText(const std::string& utf8);
// The same, then on one line: every run of white space becomes one space.
std::string tidyFieldText(const std::string& utf8);

class TextRecognizer {
  public:
    explicit TextRecognizer(std::string tessdata);
    ~TextRecognizer();
    TextRecognizer(const TextRecognizer&) = delete;
    TextRecognizer& operator=(const TextRecognizer&) = delete;

    const std::string& tessdata() const { return tessdata_; }
    // Fixed at construction.
    const std::vector<std::string>& languages() const { return languages_; }
    // True when every part of `language` ("eng", "chi_sim+eng") is installed.
    bool hasLanguage(const std::string& language) const;

    // The text of a whole page (UTF-8, tidied). kNotSupported for a language that is not
    // installed, kFailed when Tesseract cannot load it or recognise the image.
    int readPage(Pix* image, const std::string& language, std::string& text);
    // The text inside each of `areas` of the image, each read as one block (UTF-8, tidied onto
    // one line). An area outside the image reads as "".
    int readAreas(Pix* image, const std::string& language, const std::vector<Area>& areas,
                  std::vector<std::string>& texts);
    // Recognises `images` in order into a PDF of the page images with the text laid invisibly
    // over them, so it can be searched and copied, written to `pdfPath`. kFileError when an
    // image cannot be read or the file cannot be written.
    int writeSearchablePdf(const std::vector<std::string>& images, const std::string& language,
                           const std::string& pdfPath);

  private:
    // Under mutex_: the engine of `language`, loading it on first use; null when it cannot load.
    tesseract::TessBaseAPI* engine(const std::string& language);

    const std::string tessdata_;
    const std::vector<std::string> languages_;
    std::mutex mutex_;
    std::map<std::string, std::unique_ptr<tesseract::TessBaseAPI>> engines_;
};

}  // namespace pictavo
