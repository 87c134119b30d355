#include "sfs/sfs_attrs.h"

#include "quantum/registration.h"

namespace kiln {

KILN_REGISTER_QUANTUM(QtSfsAce);
KILN_REGISTER_QUANTUM(QtSfsAcl);
KILN_REGISTER_QUANTUM(QtSfsAttrs);
KILN_REGISTER_QUANTUM(QtSfsName);

}  // namespace kiln
