// Files of what the simulated hardware saw: panel frames as PNG, sound card
// recordings as WAV, so that a person can look at and listen to a run.
//
// PNG goes through libpng's simplified interface, which reads any PNG (palette,
// grey, 16-bit, with or without alpha) into 8-bit RGBA. Builds without libpng
// (the cross build) keep the WAV writer and report PNG as unsupported.
#include <cstdio>
#include <cstring>
#include <memory>

#include "mpsim/harness.h"

#if defined(MPSIM_HAVE_PNG) && MPSIM_HAVE_PNG
#include <png.h>
#endif

namespace mpsim {

namespace {

struct FileCloser {
    void operator()(std::FILE *fp) const { std::fclose(fp); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

void put_le(std::vector<uint8_t> &out, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}

}  // namespace

#if defined(MPSIM_HAVE_PNG) && MPSIM_HAVE_PNG

namespace {

bool frame_is_consistent(const Frame &f) {
    return f.width > 0 && f.height > 0 &&
           f.px.size() == static_cast<size_t>(f.width) * static_cast<size_t>(f.height);
}

}  // namespace

bool png_supported() {
    return true;
}

bool write_png(const std::string &file, const Frame &f) {
    if (!frame_is_consistent(f)) {
        return false;
    }
    std::vector<uint8_t> rgba;
    rgba.reserve(f.px.size() * 4);
    for (uint32_t w : f.px) {
        rgba.push_back(static_cast<uint8_t>(w >> 16));  // red
        rgba.push_back(static_cast<uint8_t>(w >> 8));   // green
        rgba.push_back(static_cast<uint8_t>(w));        // blue
        rgba.push_back(static_cast<uint8_t>(w >> 24));  // alpha
    }
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(f.width);
    image.height = static_cast<png_uint_32>(f.height);
    image.format = PNG_FORMAT_RGBA;
    const int ok = png_image_write_to_file(&image, file.c_str(), 0, rgba.data(), 0, nullptr);
    png_image_free(&image);
    return ok != 0;
}

std::optional<Frame> read_png(const std::string &file) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&image, file.c_str()) == 0) {
        png_image_free(&image);
        return std::nullopt;
    }
    // Files without alpha come back opaque, as the panel shows them.
    image.format = PNG_FORMAT_RGBA;
    if (image.width == 0 || image.height == 0 || image.width > 1u << 15 ||
        image.height > 1u << 15) {
        png_image_free(&image);
        return std::nullopt;
    }
    std::vector<uint8_t> rgba(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, rgba.data(), 0, nullptr) == 0) {
        png_image_free(&image);
        return std::nullopt;
    }
    Frame f;
    f.width = static_cast<int>(image.width);
    f.height = static_cast<int>(image.height);
    f.px.resize(static_cast<size_t>(f.width) * static_cast<size_t>(f.height));
    for (size_t i = 0; i < f.px.size(); ++i) {
        const uint8_t *p = &rgba[i * 4];
        f.px[i] = (uint32_t{p[3]} << 24) | (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) |
                  uint32_t{p[2]};
    }
    png_image_free(&image);
    return f;
}

#else

bool png_supported() {
    return false;
}

bool write_png(const std::string &, const Frame &) {
    return false;
}

std::optional<Frame> read_png(const std::string &) {
    return std::nullopt;
}

#endif

bool write_wav(const std::string &file, const Recording &r) {
    if (r.channels == 0 || r.channels > 0xFFFF || r.rate == 0 ||
        r.samples.size() % r.channels != 0) {
        return false;
    }
    const uint64_t data_bytes = uint64_t{r.samples.size()} * 2u;
    if (data_bytes > 0xFFFFFFFFu - 36u) {
        return false;  // beyond what a RIFF size field can hold
    }
    const uint32_t block_align = r.channels * 2u;
    std::vector<uint8_t> out;
    out.reserve(44 + static_cast<size_t>(data_bytes));
    out.insert(out.end(), {'R', 'I', 'F', 'F'});
    put_le(out, static_cast<uint32_t>(36u + data_bytes), 4);
    out.insert(out.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put_le(out, 16, 4);  // size of the PCM format block
    put_le(out, 1, 2);   // PCM
    put_le(out, r.channels, 2);
    put_le(out, r.rate, 4);
    put_le(out, r.rate * block_align, 4);  // bytes per second
    put_le(out, block_align, 2);
    put_le(out, 16, 2);  // bits per sample
    out.insert(out.end(), {'d', 'a', 't', 'a'});
    put_le(out, static_cast<uint32_t>(data_bytes), 4);
    for (int16_t s : r.samples) {
        put_le(out, static_cast<uint16_t>(s), 2);
    }

    File fp(std::fopen(file.c_str(), "wb"));
    if (!fp) {
        return false;
    }
    const bool written = std::fwrite(out.data(), 1, out.size(), fp.get()) == out.size();
    return std::fclose(fp.release()) == 0 && written;
}

}  // namespace mpsim
