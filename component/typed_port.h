// Ports bound to one quantum class at compile time.
#pragma once

#include "component/port.h"

namespace kiln {

// An input port for T: takes T and classes derived from it.
template <class T>
class TypedInPort : public InPort {
  public:
    const char* TypeName() const override { return T::kTypeId; }
    bool Accepts(const RefPtr<Quantum>& quantum) const override {
        return QuantumPtrCast<const T>(quantum.get()) != nullptr;
    }
};

// An output port for T. OutPort is a virtual base so that a reply-channel
// quantum (QtOutPort) shares the one port object with its quantum side.
template <class T>
class TypedOutPort : public virtual OutPort {
  public:
    const char* TypeName() const override { return T::kTypeId; }
};

}  // namespace kiln
