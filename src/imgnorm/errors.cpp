// The normalizer's exception family: error numbers, archive form and
// registration with the persistence registry.
#include "imgnorm/errors.h"

#include "platform/exception_detail.h"

namespace vkImageNormalizerDefs {

Errors::Errors(const std::string& message) : vkExceptionWithString(message) {}
Errors::Errors(const Errors& other) = default;
Errors& Errors::operator=(const Errors& other) = default;
Errors::~Errors() = default;

void Errors::dispatchSerialize(vkArchive& archive) {
    vk_detail::serializeLevel(archive, this, sizeof(Errors),
                              [&](unsigned char version) { serialize_(archive, version); });
}

void Errors::serialize_(vkArchive& archive, unsigned char version) {
    if (version != 0) throw vkArchive::UnknownVersion("vkImageNormalizerDefs::Errors", 0);
    vkExceptionWithString::dispatchSerialize(archive);
}

// Each kind adds its own version byte in front of the base's data.
#define IMGNORM_DEFINE_ERROR_KIND(Kind, number)                                         \
    Kind::Kind(const std::string& message) : Errors(message) {}                         \
    Kind::Kind(const Kind& other) = default;                                            \
    Kind& Kind::operator=(const Kind& other) = default;                                 \
    Kind::~Kind() = default;                                                            \
    std::int32_t Kind::errorNumber() const { return number; }                           \
    void Kind::suicideAndRethrow() { vk_detail::rethrowCopy(this); }                   \
    void Kind::dispatchSerialize(vkArchive& archive) {                                  \
        vk_detail::serializeLevel(archive, this, sizeof(Kind),                          \
                                  [&](unsigned char v) { serialize_(archive, v); });    \
    }                                                                                   \
    void Kind::serialize_(vkArchive& archive, unsigned char v) {                        \
        if (v != 0) throw vkArchive::UnknownVersion("vkImageNormalizerDefs::" #Kind, 0); \
        Errors::dispatchSerialize(archive);                                             \
    }                                                                                   \
    vkPersistent* Kind::make() { return new Kind(); }                                   \
    vk_Instantiator Kind::sExemplar(typeid(Kind), &Kind::make);

IMGNORM_DEFINE_ERROR_KIND(BadImage, 0x10007A00)
IMGNORM_DEFINE_ERROR_KIND(BadParams, 0x10007A01)
IMGNORM_DEFINE_ERROR_KIND(NotTrained, 0x10007A02)
IMGNORM_DEFINE_ERROR_KIND(CanNotTrain, 0x10007A03)
IMGNORM_DEFINE_ERROR_KIND(CanNotRun, 0x10007A04)
IMGNORM_DEFINE_ERROR_KIND(NotImplemented, 0x10007A0F)

}  // namespace vkImageNormalizerDefs
