// The module's only export. Everything else in this library is hidden, so a
// host sees one undecorated entry point and nothing it could come to rely on.
#include <new>

#include "nocrtlib/dll_loader.h"
#include "sfswin/kiln_sfs_win.h"

extern "C" __attribute__((visibility("default"))) kiln::KilnSfsProvider* CreateSfsProvider() {
    try {
        // The module starts here: the system libraries it looks entry points
        // up in, and the version gates decided from the Windows version. A
        // library that cannot be loaded means the module cannot start.
        kiln::StartSystemLibraries();
        return new kiln::KilnSfsWin::KilnSfsWin();
    } catch (...) {
        // A host cannot catch across the module boundary: null is the answer.
        return nullptr;
    }
}
