// Static registration of quantum classes in the type registry.
#pragma once

#include "quantum/qt_vect.h"
#include "quantum/registry.h"

namespace kiln {

template <class T>
struct QuantumRegistration {
    QuantumRegistration() {
        QuantumRegistry& r = QuantumRegistry::Instance();
        r.Register(T::kTypeId, [] { return RefPtr<QuantumS>(new T); });
        r.Register(QtVectS<T>::StaticTypeId(), [] { return RefPtr<QuantumS>(new QtVectS<T>); });
    }
};

}  // namespace kiln

// Registers a class and its encodable vector when the library loads. Use once
// per class, in the source file that defines it.
#define KILN_REGISTER_QUANTUM(Class) \
    static const ::kiln::QuantumRegistration<Class> kiln_registration_##Class
