// QtOutPort<T>: an output port for T that travels inside another quantum as a
// reply channel. The sender supplies it already linked to the input port where
// replies are wanted; the receiver sends on it through its own hub. It lives
// only in memory: messages carry it as a field that is not encoded.
#pragma once

#include <string>

#include "component/typed_port.h"
#include "quantum/quantum.h"

namespace kiln {

template <class T>
class QtOutPort : public virtual Quantum, public TypedOutPort<T> {
  public:
    static const std::string& StaticTypeId() {
        static const std::string id = std::string("QtOutPort[") + T::kTypeId + "]";
        return id;
    }

    const char* TypeId() const override { return StaticTypeId().c_str(); }
    uint64_t MemSize() const override { return sizeof(*this); }
    WString Dump(const DumpOptions&) const override { return Ascii(StaticTypeId()); }
};

}  // namespace kiln
