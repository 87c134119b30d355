#include "test_messages.h"

#include "quantum/registration.h"

namespace kiln::test {

WString EnumText(Colour c) {
    switch (c) {
        case Colour::Red: return u"Colour.Red";
        case Colour::Green: return u"Colour.Green";
    }
    return u"Colour." + NumberToText(static_cast<uint64_t>(c));
}

KILN_REGISTER_QUANTUM(QtTestInner);
KILN_REGISTER_QUANTUM(QtTestEmpty);
KILN_REGISTER_QUANTUM(QtTestOuter);

}  // namespace kiln::test
