// Reading the ID card readers' settings.
#include "pictavo/cards/id_reader_settings.h"

#include <initializer_list>

namespace pictavo {
namespace {

std::string unknownKey(const Json::Value& object, std::initializer_list<const char*> known) {
    for (const std::string& name : object.getMemberNames()) {
        bool found = false;
        for (const char* key : known) found = found || name == key;
        if (!found) return "unknown key \"" + name + "\"";
    }
    return "";
}

std::string readPhotoDecoder(const Json::Value& object, const std::string& baseDirectory,
                             PhotoDecoderSettings& decoder) {
    if (!object.isObject()) return "\"photoDecoder\" is not an object";
    std::string error = unknownKey(object, {"library", "key", "bottomUp"});
    if (!error.empty()) return "\"photoDecoder\": " + error;
    if (object.isMember("library")) {
        const Json::Value& library = object["library"];
        if (!library.isString() || library.asString().size() > 4096 ||
            library.asString().find('\0') != std::string::npos) {
            return "\"photoDecoder\": \"library\" is not a path";
        }
        const std::string path = library.asString();
        decoder.library = path.empty() || path.front() == '/' || baseDirectory.empty()
                              ? path
                              : baseDirectory + "/" + path;
    }
    if (object.isMember("key")) {
        if (!object["key"].isInt()) return "\"photoDecoder\": \"key\" is not a whole number";
        decoder.key = object["key"].asInt();
    }
    if (object.isMember("bottomUp")) {
        if (!object["bottomUp"].isBool()) return "\"photoDecoder\": \"bottomUp\" is not true or false";
        decoder.bottomUp = object["bottomUp"].asBool();
    }
    return "";
}

}  // namespace

std::string readIdReaderSettings(const Json::Value& section, const std::string& baseDirectory,
                                 IdReaderSettings& settings) {
    if (!section.isObject()) return "is not an object";
    IdReaderSettings read = settings;
    std::string error = unknownKey(section, {"serialPorts", "usb", "photoDecoder"});
    if (!error.empty()) return error;
    if (section.isMember("serialPorts")) {
        const Json::Value& list = section["serialPorts"];
        if (!list.isArray() || list.size() > 64) return "\"serialPorts\" is not a list of paths";
        read.serialPorts.clear();
        for (const Json::Value& item : list) {
            if (!item.isString() || item.asString().empty() || item.asString().front() != '/' ||
                item.asString().size() > 4096) {
                return "\"serialPorts\" is not a list of absolute paths or patterns";
            }
            read.serialPorts.push_back(item.asString());
        }
    }
    if (section.isMember("usb")) {
        if (!section["usb"].isBool()) return "\"usb\" is not true or false";
        read.usb = section["usb"].asBool();
    }
    if (section.isMember("photoDecoder")) {
        error = readPhotoDecoder(section["photoDecoder"], baseDirectory, read.photoDecoder);
        if (!error.empty()) return error;
    }
    settings = std::move(read);
    return "";
}

}  // namespace pictavo
