// Diagnostics records.
#include "imgnorm/diag.h"

#include "imgnorm/pelops.h"

vkDiagRecord::vkDiagRecord(std::string name, std::int32_t level, std::string text)
    : name_(std::move(name)), level_(level), isImage_(false), text_(std::move(text)) {}

vkDiagRecord::vkDiagRecord(std::string name, std::int32_t level, vkPelBuffer_const<std::uint8_t> image)
    : name_(std::move(name)), level_(level), isImage_(true), image_(std::move(image)) {}

vkDiagRecord::vkDiagRecord(std::string name, std::int32_t level,
                           vkPelBuffer_const<std::uint16_t> image, std::int32_t depth)
    : name_(std::move(name)),
      level_(level),
      isImage_(true),
      deepImage_(std::move(image)),
      depth_(depth) {}

namespace {

template <class T>
vkPelBuffer_const<T> kept(const vkPelBuffer_const<T>& image, bool copy) {
    if (copy && image.isBound()) return vfPelCopy(image);
    return image;
}

}  // namespace

void vf_AddImage(vkDiagObject* diag, const vkPelBuffer_const<std::uint8_t>& image, const std::string& name,
                 bool copy) {
    if (diag == nullptr) return;
    diag->add(vkDiagRecord(name, diag->level(), kept(image, copy)));
}

void vf_AddImage(vkDiagObject* diag, const vkPelBuffer_const<std::uint16_t>& image,
                 std::int32_t depth, const std::string& name, bool copy) {
    if (diag == nullptr) return;
    diag->add(vkDiagRecord(name, diag->level(), kept(image, copy), depth));
}

void vf_AddText(vkDiagObject* diag, const std::string& text, const std::string& name) {
    if (diag == nullptr) return;
    diag->add(vkDiagRecord(name, diag->level(), text));
}
