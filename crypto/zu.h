// The client of the cryptographic provider library. The provider is loaded
// once per process, on first use, and shared; its status records become
// ZuException.
#pragma once

#include <cstdint>

#include "crypto/zu_abi.h"
#include "nocrtlib/exceptions.h"
#include "nocrtlib/refptr.h"

namespace kiln {

class ZuException : public WStrException {
public:
    enum class Kind { General, InvalidArgument, InvalidDataFormat, BufferTooSmall };

    ZuException(Kind kind, WString text) : WStrException(std::move(text)), kind_(kind) {}
    Kind GetKind() const { return kind_; }

private:
    Kind kind_;
};

namespace Zu {

class Provider : public RefCountable {
public:
    // The process's provider, loaded on first use. Throws ZuException when the
    // library cannot be loaded, SystemError when an export is missing.
    static RefPtr<Provider> Get();

    // The unkeyed hash algorithms, comma-separated, in the provider's order.
    WString UnkeyedHashList() const;

    // Throws the ZuException that a failed status record describes; frees
    // the record's message.
    static void Check(ZuStatus& status);

#define ZU_MEMBER(name, params) name##Fn name = nullptr;
    ZU_EXPORTS(ZU_MEMBER)
#undef ZU_MEMBER

private:
    Provider() = default;
    static RefPtr<Provider> Load();
};

// An unkeyed hash: feed bytes, ask the digest size, finish the digest (after
// which the object hashes the next block from scratch).
class Hash : public RefCountable {
public:
    Hash(RefPtr<Provider> provider, const char16_t* name);
    ~Hash() override;
    Hash(const Hash&) = delete;
    Hash& operator=(const Hash&) = delete;

    void Update(const void* data, uint32_t length);
    uint32_t DigestSize();
    void Digest(uint8_t* buffer, uint32_t size);

private:
    RefPtr<Provider> provider_;
    ZuHandle handle_ = nullptr;
};

}  // namespace Zu
}  // namespace kiln
