// The module's only export. Everything else in this library is hidden, so a
// host sees one undecorated entry point and nothing it could come to rely on.
#include <new>

#include "sfswin/kiln_sfs_win.h"

extern "C" __attribute__((visibility("default"))) kiln::KilnSfsProvider* CreateSfsProvider() {
    try {
        return new kiln::KilnSfsWin::KilnSfsWin();
    } catch (...) {
        // A host cannot catch across the module boundary: null is the answer.
        return nullptr;
    }
}
