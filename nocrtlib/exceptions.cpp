#include "nocrtlib/exceptions.h"

#include <cstdio>

#include "platform/win32.h"

namespace kiln {

WException::WException(const WException&) : std::exception() {}
WException::~WException() = default;

const char* WException::what() const noexcept {
    std::call_once(narrowOnce_, [this] {
        try {
            WString d = Description();
            int n = WideCharToMultiByte(CP_ACP, 0, d.c_str(), static_cast<int>(d.size()), nullptr,
                                        0, nullptr, nullptr);
            if (d.empty()) return;
            if (n <= 0) throw 0;
            narrow_.resize(static_cast<size_t>(n));
            if (WideCharToMultiByte(CP_ACP, 0, d.c_str(), static_cast<int>(d.size()),
                                    narrow_.data(), n, nullptr, nullptr) != n)
                throw 0;
        } catch (...) {
            narrow_ = "[WException: conversion of exception description to ANSI code page failed]";
        }
    });
    return narrow_.c_str();
}

WString SystemError::Description() const {
    std::call_once(descriptionOnce_, [this] {
        WString text = WindowsErrorText(code_);
        description_ = callName_.empty() ? text : callName_ + u" failed: " + text;
    });
    return description_;
}

void ThrowLastError(const char16_t* callName) { throw SystemError(callName, GetLastError()); }

N2WException::N2WException(const std::exception& e) : description_(Widen(e.what())) {}

namespace {

struct FallbackText {
    DWORD code;
    const char16_t* text;
};

// Texts for codes that the system may not know; kept in ascending order.
constexpr FallbackText kFallbackTexts[] = {
    {1, u"Incorrect function."},
    {2, u"The system cannot find the file specified."},
    {3, u"The system cannot find the path specified."},
    {4, u"The system cannot open the file."},
    {5, u"Access is denied."},
    {6, u"The handle is invalid."},
    {8, u"Not enough storage is available to process this command."},
    {14, u"Not enough storage is available to complete this operation."},
    {86, u"The specified network password is not correct."},
    {2221, u"The user name could not be found."},
    {2226, u"This operation is only allowed on the primary domain controller of the domain."},
    {2245,
     u"The password does not meet the password policy requirements. Check the minimum password "
     u"length, password complexity and password history requirements."},
    {2351, u"This computer name is invalid."},
    {10004, u"A blocking operation was interrupted by a call to WSACancelBlockingCall."},
    {10009, u"The file handle supplied is not valid."},
    {10013,
     u"An attempt was made to access a socket in a way forbidden by its access permissions."},
    {10014,
     u"The system detected an invalid pointer address in attempting to use a pointer argument "
     u"in a call."},
    {10022, u"An invalid argument was supplied."},
    {10035, u"A non-blocking socket operation could not be completed immediately."},
    {10036, u"A blocking operation is currently executing."},
    {10037,
     u"An operation was attempted on a non-blocking socket that already had an operation in "
     u"progress."},
    {10048,
     u"Only one usage of each socket address (protocol/network address/port is normally "
     u"permitted."},
    {10049, u"The requested address is not valid in its context."},
    {10050, u"A socket operation encountered a dead network."},
    {10052,
     u"The connection has been broken due to keep-alive activity detecting a failure while the "
     u"operation was in progress."},
    {10053, u"An established connection was aborted by the software in your host machine."},
    {10054, u"An existing connection was forcibly closed by the remote host."},
    {10057,
     u"A request to send or receive data was disallowed because the socket is not connected and "
     u"(when sending on a datagram socket using a sendto call no address was supplied."},
    {10058,
     u"A request to send or receive data was disallowed because the socket had already been "
     u"shut down in that direction with a previous shutdown call."},
    {10060,
     u"A connection attempt failed because the connected party did not properly respond after a "
     u"period of time, or established connection failed because connected host has failed to "
     u"respond."},
    {10061, u"No connection could be made because the target machine actively refused it."},
    {11001, u"No such host is known."},
};

WString SystemText(DWORD code) {
    DWORD saved = GetLastError();
    char16_t* buffer = nullptr;
    DWORD n = FormatMessageW(0x1300, nullptr, code, 0x0800, reinterpret_cast<LPWSTR>(&buffer), 0,
                             nullptr);
    WString text;
    if (n && buffer) {
        while (n && (buffer[n - 1] == u'\n' || buffer[n - 1] == u'\r')) --n;
        text.assign(std::u16string_view(buffer, n));
    }
    if (buffer) LocalFree(buffer);
    SetLastError(saved);
    return text;
}

}  // namespace

WString WindowsErrorText(DWORD code) {
    WString text = SystemText(code);
    if (text.empty()) {
        for (const auto& f : kFallbackTexts)
            if (f.code == code) text = f.text;
    }
    WString number;
    if (code <= 99999) {
        number = NumberToText(static_cast<uint32_t>(code));
    } else {
        char16_t hex[11] = u"0x";
        static const char16_t kDigits[] = u"0123456789ABCDEF";
        for (int i = 0; i < 8; ++i) hex[2 + i] = kDigits[(code >> (28 - 4 * i)) & 0xF];
        number = WString(hex, 10);
    }
    if (text.empty()) return u"Windows error " + number + u".";
    return u"Windows error " + number + u": " + text;
}

}  // namespace kiln
