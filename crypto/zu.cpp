#include "crypto/zu.h"

#include <atomic>

#include "platform/win32.h"

namespace kiln::Zu {

namespace {

// 0: not loaded, 1: being loaded, 2: loaded. A loser of the race yields until
// the winner is done; a failed load sets the flag back to 0 so that a later
// request tries again.
std::atomic<int> g_state{0};
Provider* g_provider = nullptr;

constexpr char16_t kLoadFailure[] = u"Failed to load cryptographic provider 'ZuProv.dll'.";

}  // namespace

RefPtr<Provider> Provider::Get() {
    for (;;) {
        int expected = 0;
        if (g_state.compare_exchange_strong(expected, 1)) {
            try {
                RefPtr<Provider> p = Load();
                p->AddRef();  // the process keeps one reference for good
                g_provider = p.get();
                g_state.store(2);
                return p;
            } catch (...) {
                g_state.store(0);
                throw;
            }
        }
        if (expected == 2) return RefPtr<Provider>(g_provider);
        SwitchToThread();
    }
}

RefPtr<Provider> Provider::Load() {
    HMODULE module = LoadLibraryExW(u"ZuProv.dll", nullptr, 0);
    if (!module) {
        MessageBoxW(nullptr, kLoadFailure, u"Failed to load cryptographic provider", MB_OK);
        throw ZuException(ZuException::Kind::General, kLoadFailure);
    }
    RefPtr<Provider> p(new Provider);
#define ZU_RESOLVE(name, params)                                                     \
    p->name = reinterpret_cast<name##Fn>(                                             \
        reinterpret_cast<void (*)()>(GetProcAddress(module, #name)));                  \
    if (!p->name) throw SystemError(u"GetProcAddress(" + Widen(#name) + u")", GetLastError());
    ZU_EXPORTS(ZU_RESOLVE)
#undef ZU_RESOLVE
    ZuStatus status{};
    Check(*p->ZuInit(&status, 0));
    return p;
}

void Provider::Check(ZuStatus& status) {
    if (status.success) return;
    WString text = status.message ? WString(status.message)
                                  : WString(u"Zu: the cryptographic provider failed without being "
                                            u"able to provide an error message");
    if (status.message) {
        CoTaskMemFree(status.message);
        status.message = nullptr;
    }
    ZuException::Kind kind = status.code == ZuErrInvalidArgument     ? ZuException::Kind::InvalidArgument
                             : status.code == ZuErrInvalidDataFormat ? ZuException::Kind::InvalidDataFormat
                             : status.code == ZuErrBufferTooSmall    ? ZuException::Kind::BufferTooSmall
                                                                     : ZuException::Kind::General;
    throw ZuException(kind, std::move(text));
}

WString Provider::UnkeyedHashList() const {
    ZuStatus status{};
    char16_t* names = nullptr;
    Check(*ZuHashUnkeyedEnum(&status, &names));
    WString list(names ? names : u"");
    CoTaskMemFree(names);
    return list;
}

Hash::Hash(RefPtr<Provider> provider, const char16_t* name) : provider_(std::move(provider)) {
    ZuStatus status{};
    Provider::Check(*provider_->ZuHashUnkeyedInit(&status, &handle_, name));
}

Hash::~Hash() {
    if (handle_) {
        ZuStatus status{};
        provider_->ZuHashFree(&status, handle_);
        if (status.message) CoTaskMemFree(status.message);
    }
}

void Hash::Update(const void* data, uint32_t length) {
    ZuStatus status{};
    Provider::Check(*provider_->ZuHashUpdate(&status, handle_, data, length));
}

uint32_t Hash::DigestSize() {
    ZuStatus status{};
    uint32_t size = 0;
    Provider::Check(*provider_->ZuHashDigestSize(&status, handle_, &size));
    return size;
}

void Hash::Digest(uint8_t* buffer, uint32_t size) {
    ZuStatus status{};
    Provider::Check(*provider_->ZuHashDigest(&status, handle_, buffer, size));
}

}  // namespace kiln::Zu
