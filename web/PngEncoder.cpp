#include "web/PngEncoder.h"

#include <png.h>
#include <zlib.h>

namespace {

void Append(png_structp png, png_bytep data, png_size_t length) {
    static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<char*>(data), length);
}

void Flush(png_structp) {}

}  // namespace

std::string EncodeGrayPng(const uint8_t* pixels, uint32_t width, uint32_t height) {
    if (pixels == nullptr || width == 0 || height == 0)
        return {};
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (png == nullptr)
        return {};
    png_infop info = png_create_info_struct(png);
    std::string out;
    // libpng reports errors by longjmp: nothing with a destructor may live in between.
    if (info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        out.clear();
        return out;
    }
    png_set_write_fn(png, &out, Append, Flush);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, Z_BEST_SPEED);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
    png_write_info(png, info);
    for (uint32_t y = 0; y < height; ++y)
        png_write_row(png, const_cast<png_bytep>(pixels + size_t{y} * width));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}
