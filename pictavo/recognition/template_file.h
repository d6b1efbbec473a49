// The templates file: named forms, each with the language it is written in and the named
// rectangles (in image pixels) where its fields stand.
//
//   { "templates": [
//       { "name": "RegistrationForm", "language": "eng",
//         "width": 1240, "height": 1754,
//         "fields": [ { "name": "Name", "rect": [300, 410, 1150, 480] }, ... ] } ] }
//
// "width" and "height" (optional, both or neither) give the image size the rectangles were
// measured on; images of another size have the rectangles scaled to theirs. A rectangle is
// [left, top, right, bottom] with right above left and bottom above top. "language" is a
// language of the OCR list, or several joined with "+" ("chi_sim+eng").
#pragma once

#include <string>
#include <vector>

#include "pictavo/recognition/barcode_reader.h"

namespace pictavo {

struct TemplateFieldArea {
    std::string name;
    Area area;
};

struct FormTemplate {
    std::string name;
    std::string language;
    int width = 0;  // 0: the rectangles apply to images of any size as they are
    int height = 0;
    std::vector<TemplateFieldArea> fields;
};

// Parses a templates document (comments allowed). "" when it is acceptable, else one line that
// says what is wrong; `templates` is then empty.
std::string parseTemplates(const std::string& content, std::vector<FormTemplate>& templates);

// Reads and parses the file; a missing file is no error and gives no templates.
std::string loadTemplates(const std::string& path, std::vector<FormTemplate>& templates);

// Where the templates file is: `configured` when given, else <exeDir>/cfg/templates.json, else
// <exeDir>/../cfg/templates.json, the first that exists ("" when none does).
std::string locateTemplates(const std::string& configured, const std::string& exeDir);

// The field rectangles of `form` for an image of `width` x `height` pixels.
std::vector<TemplateFieldArea> scaledFields(const FormTemplate& form, int width, int height);

}  // namespace pictavo
