// KilnTime: a base of every component that carries one time value.
#pragma once

#include <cstdint>

namespace kiln {

class KilnTime {
  public:
    uint64_t Time() const { return m_time; }
    void SetTime(uint64_t time) { m_time = time; }

    // The performance counter's rate in counts per millisecond, computed once
    // per process. Raises SystemError "QueryPerformanceFrequency()" when the
    // counter is unavailable (a later call tries again).
    static double CountsPerMillisecond();

  private:
    uint64_t m_time = 0;
};

}  // namespace kiln
