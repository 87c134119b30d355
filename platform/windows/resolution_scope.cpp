// Windows resolves every path in the kernel: there is nothing to keep.
#include "platform/resolution_scope.h"

namespace kiln::platform {

ResolutionScope::ResolutionScope(RequestKind) {}
ResolutionScope::~ResolutionScope() { (void)outermost_; }

}  // namespace kiln::platform
