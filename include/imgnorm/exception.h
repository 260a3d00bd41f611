// The platform's exception hierarchy. Every exception is persistent and also
// a std::exception whose what() is the message text.
#pragma once

#include <cstdint>
#include <exception>
#include <iosfwd>
#include <string>

#include "imgnorm/export.h"
#include "imgnorm/persistent.h"

class IMGNORM_API vkException : public vkPersistent, public std::exception {
public:
    vkException() = default;
    vkException(const vkException&) = default;
    vkException& operator=(const vkException&) = default;
    ~vkException() override;

    const char* what() const noexcept override;
    // The message text (the same as what()).
    std::string message() const;
    // A number identifying the kind of error; 0 for the generic base.
    virtual std::int32_t errorNumber() const;
    // For a heap-allocated exception (as created by the persistence
    // registry): frees this object and throws a copy of it by value.
    virtual void suicideAndRethrow();

protected:
    virtual void message_(std::ostream& out) const;
    void dispatchSerialize(vkArchive& archive) override;
};

// An exception that carries a message text.
class IMGNORM_API vkExceptionWithString : public vkException {
public:
    explicit vkExceptionWithString(std::string message = "");
    vkExceptionWithString(const vkExceptionWithString&) = default;
    vkExceptionWithString& operator=(const vkExceptionWithString&) = default;
    ~vkExceptionWithString() override;

    const char* what() const noexcept override { return text_.c_str(); }
    const std::string& message() const { return text_; }
    void suicideAndRethrow() override;

protected:
    void message_(std::ostream& out) const override;
    void dispatchSerialize(vkArchive& archive) override;

private:
    std::string text_;
};

// Defines a concrete platform exception class with a default message and a
// fixed error number.
#define VK_DECLARE_PLATFORM_EXCEPTION(Name, Base)                           \
    class IMGNORM_API Name : public Base {                                  \
    public:                                                                 \
        explicit Name(std::string message = defaultMessage());              \
        ~Name() override;                                                   \
        std::int32_t errorNumber() const override;                          \
        void suicideAndRethrow() override;                                  \
        static std::string defaultMessage();                                \
    }

// A null transform or object handle was dereferenced or passed where an
// object is required.
VK_DECLARE_PLATFORM_EXCEPTION(vkBadPointer, vkExceptionWithString);

// An internal invariant of the library did not hold (see vstd_assert_).
VK_DECLARE_PLATFORM_EXCEPTION(vkAssertionFailure, vkExceptionWithString);

namespace vkPel {
// A window that is empty where pixels are needed, or that leaves its storage.
VK_DECLARE_PLATFORM_EXCEPTION(BadWindow, vkExceptionWithString);
// An operation needed pixels but the buffer is unbound.
VK_DECLARE_PLATFORM_EXCEPTION(UnboundWindow, vkExceptionWithString);
}  // namespace vkPel

namespace vkPelFunc {
// A pixel function was given a parameter outside its contract.
VK_DECLARE_PLATFORM_EXCEPTION(BadParams, vkExceptionWithString);
}  // namespace vkPelFunc

// Reports a failed internal invariant by throwing vkAssertionFailure; it
// never aborts the host application. The file defaults to the caller's.
[[noreturn]] IMGNORM_API void vstd_assert_(int line, const char* file = __builtin_FILE());
