// Reading and checking the templates file.
#include "pictavo/recognition/template_file.h"

#include <json/reader.h>
#include <sys/stat.h>

#include <climits>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

namespace pictavo {
namespace {

// Integers as written: jsoncpp would also take 3.0 for an int.
bool isInt(const Json::Value& value) {
    return (value.type() == Json::intValue || value.type() == Json::uintValue) && value.isInt();
}

std::string parseField(const Json::Value& field, TemplateFieldArea& out) {
    if (!field.isObject()) return "a field is not an object";
    if (!field["name"].isString() || field["name"].asString().empty())
        return "a field has no \"name\"";
    out.name = field["name"].asString();
    const Json::Value& rect = field["rect"];
    if (!rect.isArray() || rect.size() != 4)
        return "field \"" + out.name + "\": \"rect\" is not four integers";
    int values[4];
    for (Json::ArrayIndex i = 0; i < 4; ++i) {
        if (!isInt(rect[i]) || rect[i].asInt() < 0)
            return "field \"" + out.name + "\": \"rect\" is not four integers of at least 0";
        values[i] = rect[i].asInt();
    }
    out.area = Area{values[0], values[1], values[2], values[3]};
    if (out.area.right <= out.area.left || out.area.bottom <= out.area.top)
        return "field \"" + out.name + "\": \"rect\" is empty";
    return "";
}

std::string parseTemplate(const Json::Value& entry, FormTemplate& out) {
    if (!entry.isObject()) return "a template is not an object";
    if (!entry["name"].isString() || entry["name"].asString().empty())
        return "a template has no \"name\"";
    out.name = entry["name"].asString();
    const std::string where = "template \"" + out.name + "\": ";
    if (!entry["language"].isString() || entry["language"].asString().empty())
        return where + "no \"language\"";
    out.language = entry["language"].asString();
    const bool sized = entry.isMember("width") || entry.isMember("height");
    if (sized) {
        if (!isInt(entry["width"]) || !isInt(entry["height"]) || entry["width"].asInt() <= 0 ||
            entry["height"].asInt() <= 0)
            return where + "\"width\" and \"height\" must both be positive integers";
        out.width = entry["width"].asInt();
        out.height = entry["height"].asInt();
    }
    const Json::Value& fields = entry["fields"];
    if (!fields.isArray() || fields.empty()) return where + "no \"fields\"";
    std::set<std::string> names;
    for (const Json::Value& field : fields) {
        TemplateFieldArea parsed;
        const std::string error = parseField(field, parsed);
        if (!error.empty()) return where + error;
        if (!names.insert(parsed.name).second) return where + "field \"" + parsed.name + "\" twice";
        out.fields.push_back(std::move(parsed));
    }
    return "";
}

bool exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

int scaled(int value, int to, int from) {
    return static_cast<int>(static_cast<long long>(value) * to / from);
}

}  // namespace

std::string parseTemplates(const std::string& content, std::vector<FormTemplate>& templates) {
    templates.clear();
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["failIfExtra"] = true;
    builder["rejectDupKeys"] = true;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value document;
    std::string errors;
    if (!reader->parse(content.data(), content.data() + content.size(), &document, &errors))
        return "not valid JSON";
    if (!document.isObject() || !document["templates"].isArray()) return "no \"templates\" list";
    std::vector<FormTemplate> parsed;
    std::set<std::string> names;
    for (const Json::Value& entry : document["templates"]) {
        FormTemplate form;
        const std::string error = parseTemplate(entry, form);
        if (!error.empty()) return error;
        if (!names.insert(form.name).second) return "template \"" + form.name + "\" twice";
        parsed.push_back(std::move(form));
    }
    templates = std::move(parsed);
    return "";
}

std::string loadTemplates(const std::string& path, std::vector<FormTemplate>& templates) {
    templates.clear();
    if (path.empty() || !exists(path)) return "";
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    if (!in.good() && !in.eof()) return "cannot be read";
    return parseTemplates(content.str(), templates);
}

std::string locateTemplates(const std::string& configured, const std::string& exeDir) {
    if (!configured.empty()) return configured;
    if (exeDir.empty()) return "";
    for (const char* relative : {"/cfg/templates.json", "/../cfg/templates.json"}) {
        const std::string candidate = exeDir + relative;
        if (exists(candidate)) return candidate;
    }
    return "";
}

std::vector<TemplateFieldArea> scaledFields(const FormTemplate& form, int width, int height) {
    std::vector<TemplateFieldArea> fields = form.fields;
    if (form.width <= 0 || form.height <= 0 || (width == form.width && height == form.height))
        return fields;
    for (TemplateFieldArea& field : fields) {
        field.area.left = scaled(field.area.left, width, form.width);
        field.area.right = scaled(field.area.right, width, form.width);
        field.area.top = scaled(field.area.top, height, form.height);
        field.area.bottom = scaled(field.area.bottom, height, form.height);
    }
    return fields;
}

}  // namespace pictavo
