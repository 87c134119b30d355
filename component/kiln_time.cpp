#include "component/kiln_time.h"

#include "nocrtlib/exceptions.h"
#include "platform/win32.h"

namespace kiln {

double KilnTime::CountsPerMillisecond() {
    // Measured once, on first use rather than while the library loads, so
    // that a failure reaches a caller instead of ending the process.
    static const double rate = [] {
        LARGE_INTEGER frequency{};
        if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0)
            ThrowLastError(u"QueryPerformanceFrequency()");
        return static_cast<double>(frequency.QuadPart) / 1000.0;
    }();
    return rate;
}

}  // namespace kiln
