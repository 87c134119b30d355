#include "sfs/sfs_control.h"

#include "quantum/registration.h"

namespace kiln {

KILN_REGISTER_QUANTUM(QtSfsLog);
KILN_REGISTER_QUANTUM(QtSfsInit);
KILN_REGISTER_QUANTUM(QtSfsVendorInfo);
KILN_REGISTER_QUANTUM(QtSfsProviderInfo);
KILN_REGISTER_QUANTUM(QtSfsNotifyFileTransfer);

}  // namespace kiln
