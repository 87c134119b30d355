// The exception family. Descriptions are wide (UTF-16); the narrow what()
// text is derived once, on first request.
#pragma once

#include <exception>
#include <mutex>
#include <string>
#include <string_view>

#include "nocrtlib/ncstring.h"
#include "platform/win32_base.h"

namespace kiln {

class WException : public std::exception {
public:
    WException() = default;
    WException(const WException& other);
    WException& operator=(const WException&) = delete;
    ~WException() override;

    // The wide description of the failure.
    virtual WString Description() const = 0;
    // The description in the ANSI code page, computed on first request.
    const char* what() const noexcept override;

private:
    mutable std::once_flag narrowOnce_;
    mutable std::string narrow_;
};

class WStrException : public virtual WException {
public:
    explicit WStrException(WString description) : description_(std::move(description)) {}
    explicit WStrException(const char16_t* description) : description_(description) {}
    WString Description() const override { return description_; }

private:
    WString description_;
};

// A failed Windows call: the call's name (may be empty) and its error code.
// The description is "<call> failed: <WindowsErrorText(code)>" and is built
// on first request.
class SystemError : public WException {
public:
    SystemError(const char16_t* callName, DWORD code) : callName_(callName), code_(code) {}
    SystemError(WString callName, DWORD code) : callName_(std::move(callName)), code_(code) {}
    const WString& CallName() const { return callName_; }
    DWORD Code() const { return code_; }
    WString Description() const override;

private:
    WString callName_;
    DWORD code_;
    mutable std::once_flag descriptionOnce_;
    mutable WString description_;
};

// Throws SystemError with the calling thread's last error.
[[noreturn]] void ThrowLastError(const char16_t* callName);

// A standard exception carried into the wide world.
class N2WException : public WException {
public:
    explicit N2WException(const std::exception& e);
    WString Description() const override { return description_; }

private:
    WString description_;
};

class AssertionFailed : public virtual WException {};

class StrAssertionFailed : public AssertionFailed, public WStrException {
public:
    explicit StrAssertionFailed(WString text) : WStrException(std::move(text)) {}
    WString Description() const override { return WStrException::Description(); }
};

// "Windows error <code>: <text>" with the system's text, the fallback table,
// or "Windows error <code>." when neither knows the code. Codes above 99,999
// are written as 0x and eight upper-case hexadecimal digits. The thread's
// last error is unchanged afterwards.
WString WindowsErrorText(DWORD code);

}  // namespace kiln
