// Diagnostics records as files.
#include "diag_dump.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "image_io.h"

namespace imgnorm_cli {

namespace {

bool hasPixels(const vkDiagRecord& r) { return r.isImage() && r.image().isBound() && !r.image().window().isNull(); }

void writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) throw FileError(path, "cannot write");
}

}  // namespace

std::string diagFileName(std::size_t index, const vkDiagRecord& record) {
    char prefix[48];
    std::snprintf(prefix, sizeof prefix, "%03zu-L%d-", index, static_cast<int>(record.level()));
    std::string name = record.name();
    for (char& c : name) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
        if (!keep) c = '_';
    }
    return prefix + name + (hasPixels(record) ? ".png" : ".txt");
}

void writeDiagRecords(const vkDiagObject& diag, const std::string& folder) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) throw FileError(folder, "cannot create the folder: " + ec.message());
    const auto& records = diag.records();
    for (std::size_t i = 0; i < records.size(); ++i) {
        const vkDiagRecord& r = records[i];
        const std::string path = (std::filesystem::path(folder) / diagFileName(i, r)).string();
        if (hasPixels(r))
            writeImage(path, r.image());
        else if (r.isImage())
            writeText(path, "(image record without pixels: the image was unbound)\n");
        else
            writeText(path, r.text());
    }
}

}  // namespace imgnorm_cli
