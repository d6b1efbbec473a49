// libjpeg encode/decode to and from memory, with errors contained by setjmp.
#include "common/jpeg_codec.h"

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>
#include <jerror.h>

#include "common/file_io.h"

namespace lenvaro::jpeg {
namespace {

// libjpeg reports a fatal error through error_exit, which must not return: jump back to the
// call that set the point, with the message kept.
struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void onFatalError(j_common_ptr info) {
    auto* manager = reinterpret_cast<ErrorManager*>(info->err);
    (*info->err->format_message)(info, manager->message);
    std::longjmp(manager->jump, 1);
}

// Warnings (corrupt but decodable data) are not failures.
void onMessage(j_common_ptr, int) {}

// The error manager for one codec: fatal errors jump back to the caller's setjmp point.
jpeg_error_mgr* useErrorManager(ErrorManager& errors) {
    jpeg_error_mgr* base = jpeg_std_error(&errors.base);
    errors.base.error_exit = onFatalError;
    errors.base.emit_message = onMessage;
    return base;
}

void setError(std::string* error, const char* text) {
    if (error != nullptr) *error = text;
}

// Compressed bytes go straight into the caller's vector, which keeps its size from one
// picture to the next (the live preview encodes at camera rate): `length` says how much of it
// this picture holds.
struct VectorDestination {
    jpeg_destination_mgr base;
    std::vector<uint8_t>* out;
    size_t length;
};

constexpr size_t kFirstOutputSize = 64 * 1024;

void startVectorOutput(j_compress_ptr info) {
    auto* destination = reinterpret_cast<VectorDestination*>(info->dest);
    std::vector<uint8_t>& out = *destination->out;
    // No exception may cross libjpeg: it becomes libjpeg's own out-of-memory error, raised
    // (by a jump) only once the exception is finished with.
    bool allocated = true;
    try {
        if (out.size() < kFirstOutputSize) out.resize(std::max(out.capacity(), kFirstOutputSize));
    } catch (...) {
        allocated = false;
    }
    if (!allocated) ERREXIT1(info, JERR_OUT_OF_MEMORY, 0);
    destination->base.next_output_byte = out.data();
    destination->base.free_in_buffer = out.size();
}

// Called when the whole buffer is full.
boolean growVectorOutput(j_compress_ptr info) {
    auto* destination = reinterpret_cast<VectorDestination*>(info->dest);
    std::vector<uint8_t>& out = *destination->out;
    const size_t used = out.size();
    bool allocated = true;
    try {
        out.resize(used * 2);
    } catch (...) {
        allocated = false;
    }
    if (!allocated) ERREXIT1(info, JERR_OUT_OF_MEMORY, 1);
    destination->base.next_output_byte = out.data() + used;
    destination->base.free_in_buffer = out.size() - used;
    return TRUE;
}

void finishVectorOutput(j_compress_ptr info) {
    auto* destination = reinterpret_cast<VectorDestination*>(info->dest);
    destination->length = destination->out->size() - destination->base.free_in_buffer;
}

// Everything that lives across the setjmp point is kept outside the function that calls
// setjmp, so no local is left indeterminate after a longjmp.
struct Compressor {
    jpeg_compress_struct info{};
    ErrorManager errors{};
    VectorDestination destination{};
    std::vector<JSAMPROW> rows;
    ~Compressor() { jpeg_destroy_compress(&info); }
};

struct Decompressor {
    jpeg_decompress_struct info{};
    ErrorManager errors{};
    ~Decompressor() { jpeg_destroy_decompress(&info); }
};

bool runEncode(Compressor& c, const uint8_t* pixels, int width, int height, int components,
               size_t stride, const EncodeOptions& options, std::vector<uint8_t>& out) {
    c.info.err = useErrorManager(c.errors);
    if (setjmp(c.errors.jump) != 0) return false;
    jpeg_create_compress(&c.info);
    c.destination.base.init_destination = startVectorOutput;
    c.destination.base.empty_output_buffer = growVectorOutput;
    c.destination.base.term_destination = finishVectorOutput;
    c.destination.out = &out;
    c.info.dest = &c.destination.base;
    c.info.image_width = static_cast<JDIMENSION>(width);
    c.info.image_height = static_cast<JDIMENSION>(height);
    c.info.input_components = components;
    c.info.in_color_space = components == 1 ? JCS_GRAYSCALE : (options.bgr ? JCS_EXT_BGR : JCS_RGB);
    jpeg_set_defaults(&c.info);
    jpeg_set_quality(&c.info, options.quality, TRUE);
    if (options.xDpi > 0 || options.yDpi > 0) {
        c.info.write_JFIF_header = TRUE;
        c.info.density_unit = 1;
        c.info.X_density = static_cast<UINT16>(options.xDpi > 0 ? options.xDpi : options.yDpi);
        c.info.Y_density = static_cast<UINT16>(options.yDpi > 0 ? options.yDpi : options.xDpi);
    }
    jpeg_start_compress(&c.info, TRUE);
    for (const std::string& comment : options.comments) {
        jpeg_write_marker(&c.info, JPEG_COM, reinterpret_cast<const JOCTET*>(comment.data()),
                          static_cast<unsigned int>(comment.size()));
    }
    // All rows in as few calls as the encoder takes them.
    for (int line = 0; line < height; ++line) {
        const size_t sourceRow = options.bottomUp ? static_cast<size_t>(height - 1 - line)
                                                  : static_cast<size_t>(line);
        c.rows[static_cast<size_t>(line)] = const_cast<JSAMPROW>(pixels + sourceRow * stride);
    }
    // Rows still being made are taken a few blocks' height at a time, as they are ready.
    constexpr JDIMENSION kRowsAtOnce = 32;
    while (c.info.next_scanline < c.info.image_height) {
        const JDIMENSION line = c.info.next_scanline;
        JDIMENSION until = c.info.image_height;
        if (options.rowsReady) {
            until = std::min(until, line + kRowsAtOnce);
            if (!options.rowsReady(static_cast<int>(until))) return false;
        }
        jpeg_write_scanlines(&c.info, c.rows.data() + line, until - line);
    }
    jpeg_finish_compress(&c.info);
    return true;
}

bool runDecode(Decompressor& d, const uint8_t* data, size_t size, Image* image, Info* info,
               bool keepGrey) {
    d.info.err = useErrorManager(d.errors);
    if (setjmp(d.errors.jump) != 0) return false;
    jpeg_create_decompress(&d.info);
    jpeg_mem_src(&d.info, data, static_cast<unsigned long>(size));
    if (info != nullptr) jpeg_save_markers(&d.info, JPEG_COM, 0xFFFF);
    jpeg_read_header(&d.info, TRUE);
    if (info != nullptr) {
        info->width = static_cast<int>(d.info.image_width);
        info->height = static_cast<int>(d.info.image_height);
        info->components = d.info.num_components;
        info->densityUnit = d.info.saw_JFIF_marker ? d.info.density_unit : 0;
        info->xDensity = d.info.saw_JFIF_marker ? d.info.X_density : 0;
        info->yDensity = d.info.saw_JFIF_marker ? d.info.Y_density : 0;
        for (jpeg_saved_marker_ptr m = d.info.marker_list; m != nullptr; m = m->next) {
            if (m->marker == JPEG_COM) {
                info->comments.emplace_back(reinterpret_cast<const char*>(m->data), m->data_length);
            }
        }
        return true;
    }
    const bool grey = keepGrey && d.info.jpeg_color_space == JCS_GRAYSCALE;
    d.info.out_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_start_decompress(&d.info);
    image->width = static_cast<int>(d.info.output_width);
    image->height = static_cast<int>(d.info.output_height);
    image->components = d.info.output_components;
    const size_t rowBytes = static_cast<size_t>(image->width) * static_cast<size_t>(image->components);
    image->pixels.assign(rowBytes * static_cast<size_t>(image->height), 0);
    while (d.info.output_scanline < d.info.output_height) {
        JSAMPROW row = image->pixels.data() + rowBytes * d.info.output_scanline;
        jpeg_read_scanlines(&d.info, &row, 1);
    }
    jpeg_finish_decompress(&d.info);
    return true;
}

bool runScaledDecode(Decompressor& d, const uint8_t* data, size_t size,
                     const DecodeOptions& options, Image& image) {
    d.info.err = useErrorManager(d.errors);
    if (setjmp(d.errors.jump) != 0) return false;
    jpeg_create_decompress(&d.info);
    jpeg_mem_src(&d.info, data, static_cast<unsigned long>(size));
    jpeg_read_header(&d.info, TRUE);
    d.info.out_color_space = options.bgr ? JCS_EXT_BGR : JCS_RGB;
    d.info.scale_num = 1;
    d.info.scale_denom = static_cast<unsigned int>(options.scaleDenominator);
    if (options.fast) {
        d.info.dct_method = JDCT_IFAST;
        d.info.do_fancy_upsampling = FALSE;
    }
    jpeg_start_decompress(&d.info);
    image.width = static_cast<int>(d.info.output_width);
    image.height = static_cast<int>(d.info.output_height);
    image.components = 3;
    const size_t rowBytes = static_cast<size_t>(image.width) * 3;
    image.pixels.resize(rowBytes * static_cast<size_t>(image.height));
    JSAMPROW rows[16];
    while (d.info.output_scanline < d.info.output_height) {
        const JDIMENSION first = d.info.output_scanline;
        const JDIMENSION count = std::min<JDIMENSION>(16, d.info.output_height - first);
        for (JDIMENSION i = 0; i < count; ++i) {
            const JDIMENSION line = first + i;
            const size_t row = options.bottomUp ? d.info.output_height - 1 - line : line;
            rows[i] = image.pixels.data() + row * rowBytes;
        }
        jpeg_read_scanlines(&d.info, rows, count);
    }
    jpeg_finish_decompress(&d.info);
    return true;
}

}  // namespace

namespace {

// Encodes into the first `length` bytes of `buffer` (which may be longer, and is kept so).
bool encodeIntoBuffer(const uint8_t* pixels, int width, int height, int components,
                      size_t stride, const EncodeOptions& options, std::vector<uint8_t>& buffer,
                      size_t& length, std::string* error) {
    length = 0;
    if (pixels == nullptr || width <= 0 || height <= 0 || (components != 1 && components != 3) ||
        stride < static_cast<size_t>(width) * static_cast<size_t>(components) ||
        width > JPEG_MAX_DIMENSION || height > JPEG_MAX_DIMENSION) {
        setError(error, "invalid picture size or layout");
        return false;
    }
    auto compressor = std::make_unique<Compressor>();
    compressor->rows.resize(static_cast<size_t>(height));
    EncodeOptions checked = options;
    if (checked.quality < 1) checked.quality = 1;
    if (checked.quality > 100) checked.quality = 100;
    if (components == 1) checked.bgr = false;
    if (!runEncode(*compressor, pixels, width, height, components, stride, checked, buffer)) {
        setError(error, compressor->errors.message);
        return false;
    }
    length = compressor->destination.length;
    return true;
}

}  // namespace

bool encode(const uint8_t* pixels, int width, int height, int components, size_t stride,
            const EncodeOptions& options, std::vector<uint8_t>& out, std::string* error) {
    size_t length = 0;
    const bool encoded =
        encodeIntoBuffer(pixels, width, height, components, stride, options, out, length, error);
    out.resize(length);
    return encoded;
}

bool writeFile(const std::string& path, const uint8_t* pixels, int width, int height,
               int components, size_t stride, const EncodeOptions& options, std::string* error) {
    std::vector<uint8_t> bytes;
    return writeFile(path, pixels, width, height, components, stride, options, bytes, error);
}

bool writeFile(const std::string& path, const uint8_t* pixels, int width, int height,
               int components, size_t stride, const EncodeOptions& options,
               std::vector<uint8_t>& bytes, std::string* error) {
    size_t length = 0;
    if (!encodeIntoBuffer(pixels, width, height, components, stride, options, bytes, length,
                          error)) {
        return false;
    }
    std::string reason;
    if (!writeFileBytes(path, bytes.data(), length, &reason)) {
        setError(error, reason.c_str());
        return false;
    }
    return true;
}

bool decode(const uint8_t* data, size_t size, Image& image, std::string* error, bool keepGrey) {
    if (data == nullptr || size == 0) {
        setError(error, "no data");
        return false;
    }
    auto decompressor = std::make_unique<Decompressor>();
    if (!runDecode(*decompressor, data, size, &image, nullptr, keepGrey)) {
        setError(error, decompressor->errors.message);
        image = Image();
        return false;
    }
    return true;
}

bool decodeScaled(const uint8_t* data, size_t size, const DecodeOptions& options, Image& image,
                  std::string* error) {
    const int scale = options.scaleDenominator;
    if (data == nullptr || size == 0 || (scale != 1 && scale != 2 && scale != 4 && scale != 8)) {
        setError(error, "no data or no such scale");
        return false;
    }
    auto decompressor = std::make_unique<Decompressor>();
    if (!runScaledDecode(*decompressor, data, size, options, image)) {
        setError(error, decompressor->errors.message);
        return false;
    }
    return true;
}

bool readInfo(const uint8_t* data, size_t size, Info& info, std::string* error) {
    if (data == nullptr || size == 0) {
        setError(error, "no data");
        return false;
    }
    auto decompressor = std::make_unique<Decompressor>();
    info = Info();
    if (!runDecode(*decompressor, data, size, nullptr, &info, false)) {
        setError(error, decompressor->errors.message);
        return false;
    }
    return true;
}

bool readBytes(const std::string& path, std::vector<uint8_t>& bytes) {
    bytes.clear();
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(openFile(path, "rb"), std::fclose);
    if (!file) return false;
    char chunk[64 * 1024];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) bytes.insert(bytes.end(), chunk, chunk + got);
    return !std::ferror(file.get());
}

bool readFile(const std::string& path, Image& image, std::string* error, bool keepGrey) {
    std::vector<uint8_t> bytes;
    if (!readBytes(path, bytes)) {
        setError(error, "cannot read the file");
        return false;
    }
    return decode(bytes.data(), bytes.size(), image, error, keepGrey);
}

}  // namespace lenvaro::jpeg
