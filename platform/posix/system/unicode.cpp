// UTF-8 <-> UTF-16 with the behaviour of Windows' code page 65001: malformed
// UTF-8 and unpaired surrogates become U+FFFD unless the caller asks for
// strictness. This is the one place in the system where the conversion is
// written; nocrtlib's helpers and the path mapping call these functions.
#include <cstring>

#include "platform/posix/system/utf8.h"
#include "platform/win32_base.h"

namespace {

bool SupportedCodePage(UINT cp) {
    return cp == CP_UTF8 || cp == CP_ACP || cp == CP_OEMCP;
}

constexpr char16_t kReplacement = 0xFFFD;

}  // namespace

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar) {
    if (!SupportedCodePage(CodePage)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (dwFlags & ~MB_ERR_INVALID_CHARS) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    if (!lpMultiByteStr || cbMultiByte == 0 || cchWideChar < 0 ||
        (cchWideChar > 0 && !lpWideCharStr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t n = cbMultiByte < 0 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    auto s = reinterpret_cast<const unsigned char*>(lpMultiByteStr);
    size_t out = 0;
    const size_t cap = static_cast<size_t>(cchWideChar);
    auto put = [&](char16_t ch) -> bool {
        if (cap) {
            if (out >= cap) return false;
            lpWideCharStr[out] = ch;
        }
        ++out;
        return true;
    };
    size_t i = 0;
    while (i < n) {
        int32_t cp = kiln::platform::DecodeUtf8(s, n, i);
        if (cp < 0) {
            if (dwFlags & MB_ERR_INVALID_CHARS) {
                SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                return 0;
            }
            cp = kReplacement;
        }
        bool ok;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            ok = put(static_cast<char16_t>(0xD800 + (cp >> 10))) &&
                 put(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            ok = put(static_cast<char16_t>(cp));
        }
        if (!ok) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        if (out > 0x7FFFFFFF) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
    }
    return static_cast<int>(out);
}

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                        LPBOOL lpUsedDefaultChar) {
    if (!SupportedCodePage(CodePage)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (dwFlags & ~WC_ERR_INVALID_CHARS) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    // Windows refuses a default character for UTF-8: every code point has a form.
    if (!lpWideCharStr || cchWideChar == 0 || cbMultiByte < 0 ||
        (cbMultiByte > 0 && !lpMultiByteStr) || lpDefaultChar || lpUsedDefaultChar) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t n;
    if (cchWideChar < 0) {
        n = 0;
        while (lpWideCharStr[n]) ++n;
        ++n;
    } else {
        n = static_cast<size_t>(cchWideChar);
    }
    const size_t cap = static_cast<size_t>(cbMultiByte);
    size_t out = 0;
    unsigned char buf[4];
    for (size_t i = 0; i < n; ++i) {
        uint32_t cp = lpWideCharStr[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && lpWideCharStr[i + 1] >= 0xDC00 &&
            lpWideCharStr[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lpWideCharStr[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            if (dwFlags & WC_ERR_INVALID_CHARS) {
                SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                return 0;
            }
            cp = kReplacement;
        }
        const size_t len = kiln::platform::EncodeUtf8(cp, buf);
        if (cap) {
            if (out + len > cap) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return 0;
            }
            std::memcpy(lpMultiByteStr + out, buf, len);
        }
        out += len;
        if (out > 0x7FFFFFFF) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
    }
    return static_cast<int>(out);
}

namespace kiln::platform {

int32_t DecodeUtf8(const unsigned char* s, size_t n, size_t& i) {
    unsigned char c = s[i];
    if (c < 0x80) {
        ++i;
        return c;
    }
    int len;
    uint32_t cp;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        cp = c & 0x0F;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;  // no encoded surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        cp = c & 0x07;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        ++i;
        return -1;
    }
    size_t j = i + 1;
    for (int k = 1; k < len; ++k, ++j) {
        if (j >= n) {
            i = j;
            return -1;
        }
        unsigned char b = s[j];
        unsigned char l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
        if (b < l || b > h) {
            i = j;
            return -1;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    i = j;
    return static_cast<int32_t>(cp);
}

size_t EncodeUtf8(uint32_t cp, unsigned char* buf) {
    if (cp < 0x80) {
        buf[0] = static_cast<unsigned char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        buf[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
        buf[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        buf[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
        buf[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
        buf[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        return 3;
    }
    buf[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
    buf[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
    buf[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
    buf[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    return 4;
}

}  // namespace kiln::platform
