// Diagnostics records.
#include "imgnorm/diag.h"

#include "imgnorm/pelops.h"

vkDiagRecord::vkDiagRecord(std::string name, std::int32_t level, std::string text)
    : name_(std::move(name)), level_(level), isImage_(false), text_(std::move(text)) {}

vkDiagRecord::vkDiagRecord(std::string name, std::int32_t level, vkPelBuffer_const<std::uint8_t> image)
    : name_(std::move(name)), level_(level), isImage_(true), image_(std::move(image)) {}

void vf_AddImage(vkDiagObject* diag, const vkPelBuffer_const<std::uint8_t>& image, const std::string& name,
                 bool copy) {
    if (diag == nullptr) return;
    vkPelBuffer_const<std::uint8_t> kept = image;
    if (copy && image.isBound()) kept = vfPelCopy(image);
    diag->add(vkDiagRecord(name, diag->level(), std::move(kept)));
}

void vf_AddText(vkDiagObject* diag, const std::string& text, const std::string& name) {
    if (diag == nullptr) return;
    diag->add(vkDiagRecord(name, diag->level(), text));
}
