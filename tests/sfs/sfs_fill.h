// Fills any SFS message with values that differ from the defaults, field by
// field through the class's own field list, so that round-trip tests cover
// every field of every class without restating the field lists.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <vector>

#include "quantum/message.h"
#include "quantum/qt_bytes.h"
#include "quantum/qt_str.h"
#include "quantum/qt_vect.h"
#include "sfs/sfs_requests.h"

namespace kiln::sfstest {

template <class T>
struct IsVectS : std::false_type {};
template <class T>
struct IsVectS<QtVectS<T>> : std::true_type {
    using Element = T;
};

struct FillOptions {
    bool ports = false;  // also set the in-memory port fields
    int depth = 0;       // nesting level; vectors stay empty below a limit
};

template <class T>
void Fill(T& msg, unsigned& seed, FillOptions o);

template <class X>
RefPtr<X> MakeFilled(unsigned& seed, FillOptions o) {
    RefPtr<X> x(new X);
    if constexpr (std::is_same_v<X, QtStr>) {
        // Non-ASCII and a character outside the BMP, to exercise UTF-8.
        std::u16string s = u"v" + std::u16string(1, static_cast<char16_t>(u'a' + seed % 26)) +
                           u"-\u00e9\u20ac\U0001F600-" + std::u16string(seed % 5, u'x');
        x->assign(s);
        ++seed;
    } else if constexpr (std::is_same_v<X, QtBytes>) {
        uint8_t b[] = {static_cast<uint8_t>(seed), 0x00, 0xFF, 0x7F,
                       static_cast<uint8_t>(seed >> 8)};
        x->Assign(b, sizeof(b) - seed % 2);
        ++seed;
    } else if constexpr (IsVectS<X>::value) {
        using E = typename IsVectS<X>::Element;
        int count = o.depth < 3 ? 2 : 0;
        for (int i = 0; i < count; ++i) {
            FillOptions inner = o;
            inner.depth = o.depth + 1;
            x->Append(MakeFilled<E>(seed, inner));
        }
    } else if constexpr (std::is_base_of_v<QtMessageBase, X>) {
        FillOptions inner = o;
        inner.depth = o.depth + 1;
        Fill(*x, seed, inner);
    }
    return x;
}

template <class D, class M>
void FillField(D& msg, const FieldDesc<D, M>& f, unsigned& seed, FillOptions o) {
    M& v = msg.*(f.member);
    if constexpr (std::is_same_v<M, bool>) {
        v = true;
    } else if constexpr (std::is_enum_v<M>) {
        using U = std::underlying_type_t<M>;
        v = static_cast<M>(static_cast<U>(1 + seed++ % 3));
    } else if constexpr (std::is_integral_v<M>) {
        // The top byte set, so that a field read at the wrong width shows.
        v = static_cast<M>((M{0x80} << (8 * (sizeof(M) - 1))) | static_cast<M>(0x11 + seed++));
    } else {
        using X = typename message_detail::IsRefPtr<M>::Element;
        if constexpr (std::is_same_v<X, QuantumS>) {
            // Any content: a request content with a nested attribute record.
            v = MakeFilled<QtSfsSetStat>(seed, o);
        } else if constexpr (std::is_base_of_v<QuantumS, X>) {
            v = MakeFilled<X>(seed, o);
        } else if (o.ports) {
            v = RefPtr<X>(new X);
        }
    }
}

template <class T>
void Fill(T& msg, unsigned& seed, FillOptions o) {
    std::apply([&](const auto&... f) { (FillField(msg, f, seed, o), ...); }, T::Fields());
}

// Every SFS message class, for tests that go over all of them. The tests
// take the classes as rows of a table rather than as type parameters: a
// test body then compiles once instead of once per class, which made these
// test files the slowest of the build.
struct SfsClass {
    const char* typeId;
    RefPtr<QuantumS> (*makeFilled)(unsigned& seed, FillOptions o);
    bool (*isA)(const QuantumS& q);  // the registry made the right class
};

template <class... T>
std::vector<SfsClass> SfsClassRows() {
    return {SfsClass{T::kTypeId,
                     [](unsigned& seed, FillOptions o) -> RefPtr<QuantumS> {
                         return MakeFilled<T>(seed, o);
                     },
                     [](const QuantumS& q) { return dynamic_cast<const T*>(&q) != nullptr; }}...};
}

inline const std::vector<SfsClass>& AllSfsClasses() {
    static const std::vector<SfsClass> rows = SfsClassRows<
        QtSfsAce, QtSfsAcl, QtSfsAttrs, QtSfsName, QtSfsRequest, QtSfsResponse, QtSfsOpen,
        QtSfsClose, QtSfsRead, QtSfsWrite, QtSfsFStat, QtSfsSetStat, QtSfsFSetStat, QtSfsOpenDir,
        QtSfsReadDir, QtSfsRemove, QtSfsMkDir, QtSfsRmDir, QtSfsRealPath, QtSfsStat, QtSfsRename,
        QtSfsReadLink, QtSfsLink, QtSfsBlock, QtSfsUnblock, QtSfsTextSeek, QtSfsCheckFileHandle,
        QtSfsCheckFileName, QtSfsSpaceAvail, QtSfsHomeDir, QtSfsFSync, QtSfsStatus, QtSfsHandle,
        QtSfsData, QtSfsNames, QtSfsCheckFileReply, QtSfsSpaceAvailReply, QtSfsLog, QtSfsInit,
        QtSfsVendorInfo, QtSfsProviderInfo, QtSfsNotifyFileTransfer>();
    return rows;
}
inline constexpr size_t kSfsClassCount = 42;

// Names each instance of a test over the table by its class's type ID.
inline std::string ClassName(const ::testing::TestParamInfo<SfsClass>& info) {
    return info.param.typeId;
}

}  // namespace kiln::sfstest
