// Writes gray TIFF files with libtiff in any layout the reader takes, for the
// command-line tool's tests and the decoder's seed corpus.
#pragma once

#include <tiffio.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

namespace testtiff {

// A TIFF file of w x h gray pixels written by libtiff (mode "w", "wb" for big
// endian, "w8" for BigTIFF), one strip unless set changes the tags; its rows
// are TIFFScanlineSize bytes of pixels (native byte order), repeated as
// needed. With two pages the second is a copy of the first. Returns the
// file's bytes.
inline std::string tiffFile(const std::filesystem::path& file, std::uint32_t w, std::uint32_t h, int bits,
                            const std::function<void(TIFF*)>& set, const std::string& pixels,
                            const char* mode = "w", int pages = 1) {
    TIFF* t = TIFFOpen(file.c_str(), mode);
    for (int page = 0; page < pages; ++page) {
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, w);
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, h);
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, bits);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, h);
        set(t);
        const auto rowBytes = static_cast<std::size_t>(TIFFScanlineSize(t));
        std::string image;
        while (image.size() < rowBytes * h) image += pixels;
        if (TIFFIsTiled(t)) {
            std::uint32_t tw = 0, th = 0;
            TIFFGetField(t, TIFFTAG_TILEWIDTH, &tw);
            TIFFGetField(t, TIFFTAG_TILELENGTH, &th);
            const std::size_t pel = rowBytes / w;
            for (std::uint32_t y0 = 0; y0 < h; y0 += th)
                for (std::uint32_t x0 = 0; x0 < w; x0 += tw) {
                    std::string tile(static_cast<std::size_t>(TIFFTileSize(t)), '\0');
                    for (std::uint32_t y = y0; y < std::min(h, y0 + th); ++y)
                        tile.replace((y - y0) * tw * pel, (std::min(w, x0 + tw) - x0) * pel, image,
                                     y * rowBytes + x0 * pel, (std::min(w, x0 + tw) - x0) * pel);
                    TIFFWriteEncodedTile(t, TIFFComputeTile(t, x0, y0, 0, 0), tile.data(),
                                         static_cast<tmsize_t>(tile.size()));
                }
        } else {
            for (std::uint32_t y = 0; y < h; ++y) TIFFWriteScanline(t, image.data() + y * rowBytes, y, 0);
        }
        TIFFWriteDirectory(t);
    }
    TIFFClose(t);
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace testtiff
