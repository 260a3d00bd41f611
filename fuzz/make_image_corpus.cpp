// Writes the seed corpora of the image decoder targets into DIRECTORY/png_decode,
// DIRECTORY/pgm_decode and DIRECTORY/tiff_decode: small 8- and 16-bit images
// with and without a stated depth, a palette of grays, plain and binary PGM,
// and TIFF files of each compression the reader takes, in strips and in
// tiles (16 x 16, cut at the edges), in both byte orders.
// Usage: make_image_corpus DIRECTORY
#include <tiffio.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "codecs.h"
#include "support/tiff_file.h"

namespace {

namespace fs = std::filesystem;
using imgnorm_cli::codec::EncodeSource;

void write(const fs::path& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary);
    out << bytes;
    if (!out) {
        std::perror(file.c_str());
        std::exit(1);
    }
}

std::vector<std::uint16_t> samples(std::int32_t w, std::int32_t h, std::uint32_t top) {
    std::vector<std::uint16_t> v(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
    for (std::size_t i = 0; i < v.size(); ++i)
        v[i] = static_cast<std::uint16_t>((i * 2654435761u >> 7) % (top + 1));
    return v;
}

std::string encoded(void (*encode)(std::FILE*, const EncodeSource&, const std::string&), std::int32_t w,
                    std::int32_t h, std::int32_t depth, const std::vector<std::uint8_t>& palette = {}) {
    const std::vector<std::uint16_t> deep = samples(w, h, depth == 0 ? 65535 : (1u << depth) - 1);
    std::vector<std::uint8_t> bytes;
    for (const std::uint16_t v : deep) bytes.push_back(static_cast<std::uint8_t>(v));
    const bool wide = depth != 8;
    EncodeSource source{wide ? reinterpret_cast<const std::uint8_t*>(deep.data()) : bytes.data(),
                        w * (wide ? 2 : 1), w, h, wide ? 2 : 1, depth};
    if (!palette.empty()) {
        for (std::uint8_t& b : bytes) b = static_cast<std::uint8_t>(b % (palette.size() / 3));
        source.first = bytes.data();
        source.palette = palette.data();
        source.paletteSize = static_cast<std::int32_t>(palette.size() / 3);
    }
    char* data = nullptr;
    std::size_t size = 0;
    std::FILE* file = ::open_memstream(&data, &size);
    encode(file, source, "seed");
    std::fclose(file);
    std::string out(data, size);
    std::free(data);
    return out;
}

// A 21 x 19 TIFF file of 12-bit values (their low bytes at 8 bits), in
// strips of four rows or in 16 x 16 tiles cut at the edges.
std::string tiffBytes(const fs::path& scratch, int bits, int compression, bool tiled, const char* mode) {
    const std::uint32_t w = 21, h = 19;
    const std::vector<std::uint16_t> deep = samples(static_cast<std::int32_t>(w), static_cast<std::int32_t>(h), 4095);
    std::string pixels;
    if (bits == 16) {
        pixels.assign(reinterpret_cast<const char*>(deep.data()), deep.size() * 2);  // native order
    } else {
        for (const std::uint16_t v : deep) pixels.push_back(static_cast<char>(v));
    }
    return testtiff::tiffFile(
        scratch, w, h, bits,
        [&](TIFF* t) {
            TIFFSetField(t, TIFFTAG_COMPRESSION, compression);
            if (compression == COMPRESSION_LZW || compression == COMPRESSION_ADOBE_DEFLATE)
                TIFFSetField(t, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
            if (bits == 16) TIFFSetField(t, TIFFTAG_MAXSAMPLEVALUE, 4095);
            if (tiled) {
                TIFFSetField(t, TIFFTAG_TILEWIDTH, 16);
                TIFFSetField(t, TIFFTAG_TILELENGTH, 16);
            } else {
                TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 4);
            }
        },
        pixels, mode);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    using namespace imgnorm_cli::codec;
    const fs::path root = argv[1], png = root / "png_decode", pgm = root / "pgm_decode", tif = root / "tiff_decode";
    for (const fs::path& d : {png, pgm, tif}) fs::create_directories(d);

    write(png / "gray8_7x5", encoded(encodePng, 7, 5, 8));
    write(png / "gray8_1x1", encoded(encodePng, 1, 1, 8));
    write(png / "gray16_depth12", encoded(encodePng, 9, 4, 12));
    write(png / "gray16_nodepth", encoded(encodePng, 4, 3, 0));
    write(png / "palette", encoded(encodePng, 6, 6, 8, {0, 0, 0, 90, 90, 90, 255, 255, 255}));

    write(pgm / "p5_8", encoded(encodePgm, 7, 5, 8));
    write(pgm / "p5_depth10", encoded(encodePgm, 5, 3, 10));
    write(pgm / "p5_maxval15", std::string("P5 3 1 15\n") + '\x00' + '\x07' + '\x0f');
    write(pgm / "p2_comments", "P2\n# by hand\n3 2 # size\n10\n0 1 3\n# row two\n7 9 10\n");
    write(pgm / "p2_deep", "P2\n2 1\n4095\n4095 0\n");

    const fs::path scratch = tif / ".scratch.tif";
    for (const int bits : {8, 16})
        for (const int compression :
             {COMPRESSION_NONE, COMPRESSION_LZW, COMPRESSION_ADOBE_DEFLATE, COMPRESSION_PACKBITS}) {
            const std::string name = std::to_string(bits) + "_c" + std::to_string(compression);
            write(tif / (name + "_strips_le"), tiffBytes(scratch, bits, compression, false, "wl"));
            write(tif / (name + "_tiles_be"), tiffBytes(scratch, bits, compression, true, "wb"));
        }
    fs::remove(scratch);
    return 0;
}
