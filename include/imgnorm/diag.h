// Diagnostics recording: a caller-owned vkDiagObject collects named records
// (images and texts) that the library adds when the caller's flags ask for
// them. Each record keeps the recorder's level at the time it was added.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "imgnorm/export.h"
#include "imgnorm/pelbuffer.h"

class IMGNORM_API vkDiagRecord {
public:
    vkDiagRecord(std::string name, std::int32_t level, std::string text);
    vkDiagRecord(std::string name, std::int32_t level, vkPelBuffer_const<std::uint8_t> image);
    // A record of a 16-bit image whose values have depth bits.
    vkDiagRecord(std::string name, std::int32_t level, vkPelBuffer_const<std::uint16_t> image,
                 std::int32_t depth);

    const std::string& name() const { return name_; }
    std::int32_t level() const { return level_; }
    bool isImage() const { return isImage_; }
    // The text of a text record (empty for an image record).
    const std::string& text() const { return text_; }
    // The image of an image record (unbound for a text record, and for an
    // image record of an unbound image).
    const vkPelBuffer_const<std::uint8_t>& image() const { return image_; }
    // The image of a 16-bit image record (unbound for other records), and
    // the depth of its values; 8 for every other record.
    const vkPelBuffer_const<std::uint16_t>& deepImage() const { return deepImage_; }
    std::int32_t depth() const { return depth_; }

  private:
    std::string name_;
    std::int32_t level_;
    bool isImage_;
    std::string text_;
    vkPelBuffer_const<std::uint8_t> image_;
    vkPelBuffer_const<std::uint16_t> deepImage_;
    std::int32_t depth_ = 8;
};

// Kinds of records a caller can ask for with its flags word.
namespace vkDiagDefs {
enum What : std::uint32_t {
    eInputs = 0x10000,        // inputs and parameters of train and run
    eResults = 0x20000,       // the result of run
    eMethodDetails = 0x40000  // what the linear fit and the local corrections estimated
};
}  // namespace vkDiagDefs

class IMGNORM_API vkDiagObject {
public:
    // True when the flags ask for records of the kind what.
    static bool shouldRecord(std::uint32_t flags, std::uint32_t what) { return (flags & what) != 0; }

    std::int32_t level() const { return level_; }
    void level(std::int32_t value) { level_ = value; }

    const std::vector<vkDiagRecord>& records() const { return records_; }
    void add(vkDiagRecord record) { records_.push_back(std::move(record)); }
    void clear() { records_.clear(); }

private:
    std::int32_t level_ = 0;
    std::vector<vkDiagRecord> records_;
};

// Appends an image record at the recorder's level. With copy false the record
// shares the image's pixels; with copy true it holds a copy of the window.
// A null recorder records nothing.
IMGNORM_API void vf_AddImage(vkDiagObject* diag, const vkPelBuffer_const<std::uint8_t>& image,
                             const std::string& name, bool copy);
// The same for a 16-bit image whose values have depth bits.
IMGNORM_API void vf_AddImage(vkDiagObject* diag, const vkPelBuffer_const<std::uint16_t>& image,
                             std::int32_t depth, const std::string& name, bool copy);
// Appends a text record at the recorder's level.
IMGNORM_API void vf_AddText(vkDiagObject* diag, const std::string& text, const std::string& name);
