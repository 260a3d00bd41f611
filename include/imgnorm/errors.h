// The normalizer's method flags and its exception family.
#pragma once

#include <cstdint>
#include <string>

#include "imgnorm/archive.h"
#include "imgnorm/exception.h"
#include "imgnorm/export.h"
#include "imgnorm/persistent.h"

namespace vkImageNormalizerDefs {

// Normalization methods as bit flags; a set of methods is their OR. The
// known bits together are 63; eIdentity (0) is the empty set.
enum Method : std::uint32_t {
    eIdentity = 0,
    eMatchHistogram = 1,
    eMatchMeanAndStddev = 2,
    eMatchHistogramTails = 4,
    eLinearlyFitGrayValues = 8,
    eLocalCorrection = 16,
    eLocalCorrectionEnhanced = 32
};

constexpr std::uint32_t kKnownMethods = 63;
constexpr std::uint32_t kGlobalMethods = 7;

constexpr Method operator|(Method a, Method b) {
    return static_cast<Method>(static_cast<std::uint32_t>(a) | static_cast<std::uint32_t>(b));
}
constexpr Method operator&(Method a, Method b) {
    return static_cast<Method>(static_cast<std::uint32_t>(a) & static_cast<std::uint32_t>(b));
}

// Base of the tool's exceptions. Each concrete kind carries a message text
// and a fixed error number, and can be stored in an archive and recreated
// from its class name.
class IMGNORM_API Errors : public vkExceptionWithString {
public:
    Errors(const Errors& other);
    Errors& operator=(const Errors& other);
    ~Errors() override;

    std::int32_t errorNumber() const override = 0;
    void suicideAndRethrow() override = 0;

protected:
    explicit Errors(const std::string& message = "");
    void dispatchSerialize(vkArchive& archive) override;
    void serialize_(vkArchive& archive, unsigned char version);
};

#define IMGNORM_DECLARE_ERROR_KIND(Kind)                      \
    class IMGNORM_API Kind : public Errors {                  \
    public:                                                   \
        explicit Kind(const std::string& message = "");       \
        Kind(const Kind& other);                              \
        Kind& operator=(const Kind& other);                   \
        ~Kind() override;                                     \
        std::int32_t errorNumber() const override;            \
        void suicideAndRethrow() override;                    \
                                                              \
    protected:                                                \
        void dispatchSerialize(vkArchive& archive) override;  \
        void serialize_(vkArchive& archive, unsigned char v); \
                                                              \
    private:                                                  \
        static vkPersistent* make();                          \
        static vk_Instantiator sExemplar;                     \
    }

IMGNORM_DECLARE_ERROR_KIND(BadImage);        // 0x10007A00
IMGNORM_DECLARE_ERROR_KIND(BadParams);       // 0x10007A01
IMGNORM_DECLARE_ERROR_KIND(NotTrained);      // 0x10007A02
IMGNORM_DECLARE_ERROR_KIND(CanNotTrain);     // 0x10007A03
IMGNORM_DECLARE_ERROR_KIND(CanNotRun);       // 0x10007A04
IMGNORM_DECLARE_ERROR_KIND(NotImplemented);  // 0x10007A0F

#undef IMGNORM_DECLARE_ERROR_KIND

}  // namespace vkImageNormalizerDefs
