// Every argument key a command reads, by the JSON type its getter takes, for tests and fuzzers
// that send every key at once. Path keys name files or folders on this computer.
#pragma once

#include <string_view>

namespace lenvaro::testing {

inline constexpr std::string_view kIntegerArgumentKeys[] = {
    "B", "BB", "BG", "BR", "BT", "CropType", "Duration", "G", "Interval", "IsAvailabel",
    "JpegQuality", "R", "Type", "bOpen", "bottom", "devIndex", "height", "iAuthType", "iItalic",
    "iMediaIndex", "iPort", "iType", "iUnderline", "iWeight", "ibottom", "icolorB", "icolorG",
    "icolorR", "iflag", "ifontSize", "ileft", "ilvalue", "index", "ipara1", "ipara2", "iright",
    "isAvailabel", "itop", "itype", "language", "ldelayTime", "left", "micphone", "nBackNum",
    "nCodeType", "nCount", "nIndex", "ntop", "number", "offsetX", "offsetY", "param",
    "quanlity", "right", "rotateMode", "score", "subtype", "top", "type", "videoFormat",
    "width", "xDPI",
};

inline constexpr std::string_view kFloatArgumentKeys[] = {"fangle", "ftransparent"};

// Texts that are not paths on this computer: card data, keys, Base64, addresses, names.
inline constexpr std::string_view kTextArgumentKeys[] = {
    "Base64FPFeature1", "Base64FPFeature2", "PersonFace1", "PersonFace2", "nType", "pCardInfo",
    "pFileAddr", "pKey", "pPayInfo", "pWriteData", "param", "personFace", "strMsg", "strfont",
    "strftpPath", "strtargetName", "struserName", "struserPsd", "url",
};

inline constexpr std::string_view kPathArgumentKeys[] = {
    "Dictpry", "FeaturePath", "FeaturePath1", "FeaturePath2", "FilePath", "HeadPath", "PdfPath",
    "bmpPath", "filePath", "filePath1", "filePath2", "fileSignpath", "filepath", "filepath1",
    "filepath2", "pFileBack", "pFileFront", "strBarcodePath", "strFilePath", "strImagePath",
    "strfilePath", "strimagePath", "videoFilePath",
};

}  // namespace lenvaro::testing
