// The platform exception classes: messages, error numbers, archive form and
// registration.
#include "imgnorm/exception.h"

#include <ostream>
#include <sstream>
#include <utility>

#include "imgnorm/archive.h"
#include "imgnorm/attention.h"
#include "platform/exception_detail.h"

namespace {

// Reads or writes one class level's version byte; any stored version other
// than 0 is unknown.
void passVersion(vkArchive& archive, const char* className) {
    unsigned char version = 0;
    archive || version;
    if (version != 0) throw vkArchive::UnknownVersion(className, 0);
}

}  // namespace

vkException::~vkException() = default;

const char* vkException::what() const noexcept { return "vkException"; }

std::string vkException::message() const {
    std::ostringstream out;
    message_(out);
    return out.str();
}

std::int32_t vkException::errorNumber() const { return 0; }

void vkException::suicideAndRethrow() { vk_detail::rethrowCopy(this); }

void vkException::message_(std::ostream& out) const { out << what(); }

void vkException::dispatchSerialize(vkArchive& archive) {
    if (haveVisited(archive, this, sizeof(vkException))) return;
    passVersion(archive, "vkException");
    setVisited(archive, this, sizeof(vkException));
}

vkExceptionWithString::vkExceptionWithString(std::string message) : text_(std::move(message)) {}
vkExceptionWithString::~vkExceptionWithString() = default;

void vkExceptionWithString::suicideAndRethrow() { vk_detail::rethrowCopy(this); }

void vkExceptionWithString::message_(std::ostream& out) const { out << text_; }

void vkExceptionWithString::dispatchSerialize(vkArchive& archive) {
    if (haveVisited(archive, this, sizeof(vkExceptionWithString))) return;
    passVersion(archive, "vkExceptionWithString");
    vkException::dispatchSerialize(archive);
    archive || text_;
    setVisited(archive, this, sizeof(vkExceptionWithString));
}

// Defines the members of a class declared with VK_DECLARE_PLATFORM_EXCEPTION;
// Name is the qualified class name and Short its last component.
#define VK_DEFINE_PLATFORM_EXCEPTION(Name, Short, number, text)                   \
    Name::Short(std::string message) : vkExceptionWithString(std::move(message)) {} \
    Name::~Short() = default;                                                     \
    std::int32_t Name::errorNumber() const { return number; }                     \
    void Name::suicideAndRethrow() { vk_detail::rethrowCopy(this); }             \
    std::string Name::defaultMessage() { return text; }                           \
    namespace {                                                                   \
    vkPersistent* make_##Short() { return new Name(); }                           \
    const vk_Instantiator register_##Short(typeid(Name), &make_##Short);          \
    }

VK_DEFINE_PLATFORM_EXCEPTION(vkBadPointer, vkBadPointer, 0x101, "null pointer or handle")
VK_DEFINE_PLATFORM_EXCEPTION(vkAssertionFailure, vkAssertionFailure, 0x102, "internal invariant failed")
VK_DEFINE_PLATFORM_EXCEPTION(vkPel::BadWindow, BadWindow, 0x201, "bad image window")
VK_DEFINE_PLATFORM_EXCEPTION(vkPel::UnboundWindow, UnboundWindow, 0x202, "image buffer is unbound")
VK_DEFINE_PLATFORM_EXCEPTION(vkPelFunc::BadParams, BadParams, 0x301, "bad parameter for a pixel function")
VK_DEFINE_PLATFORM_EXCEPTION(vkArchive::Corrupt, Corrupt, 0x402, "archive is truncated or corrupt")
VK_DEFINE_PLATFORM_EXCEPTION(vkArchive::UnknownClass, UnknownClass, 0x403, "archive names an unknown class")
VK_DEFINE_PLATFORM_EXCEPTION(vkArchive::FileError, FileError, 0x404, "archive file cannot be read or written")
VK_DEFINE_PLATFORM_EXCEPTION(vkAttention::Cancelled, Cancelled, 0x501, "operation cancelled")

namespace {
std::string unknownVersionText(const std::string& text, std::int32_t line) {
    std::string s = "unknown archive version";
    if (text.empty()) return s;
    s.append(" (").append(text);
    if (line != 0) s.append(":").append(std::to_string(line));
    return s.append(")");
}
}  // namespace

vkArchive::UnknownVersion::UnknownVersion(const std::string& text, std::int32_t line)
    : vkExceptionWithString(unknownVersionText(text, line)), text_(text), line_(line) {}
vkArchive::UnknownVersion::~UnknownVersion() = default;
std::int32_t vkArchive::UnknownVersion::errorNumber() const { return 0x401; }
void vkArchive::UnknownVersion::suicideAndRethrow() { vk_detail::rethrowCopy(this); }

void vstd_assert_(int line, const char* file) {
    std::string text = "internal invariant failed at ";
    if (file != nullptr) text.append(file).append(":");
    else text.append("line ");
    throw vkAssertionFailure(text.append(std::to_string(line)));
}
