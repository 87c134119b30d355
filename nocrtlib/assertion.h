// The assertion mechanism: a broken invariant inside the system's own code
// raises StrAssertionFailed with a fixed report text naming the module,
// process, source file and line. Source files are named by the short names
// under which the reports have always been known (for example
// "nocrtlib/datavect"), not by the paths of this tree.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kiln {

// Throws StrAssertionFailed; never returns.
[[noreturn]] void AssertionFailure(const char* sourceFile, unsigned line, const char* condition);

// Builds the report text "Assertion failed in module '...', PID n, source
// file '...', line n:\r\n<condition>" (narrow, as the report is formatted).
// The module path is cut to 299 characters and the whole text to 1023.
void FormatAssertionReport(char* out, size_t outSize, const char* prefix, const char* suffix,
                           const char* sourceFile, unsigned line, const char* condition);

// Stops the process when nothing may be thrown (an exception is already
// propagating): report, optional wait for a debugger, exit code 34821.
[[noreturn]] void FatalAssertionStop(const char* sourceFile, unsigned line, const char* condition);

constexpr int kFatalAssertionExitCode = 34821;

}  // namespace kiln

#define KILN_ASSERT_AT(cond, file, line) \
    ((cond) ? static_cast<void>(0) : ::kiln::AssertionFailure(file, line, #cond))
#define KILN_ASSERT_TEXT_AT(cond, text, file, line) \
    ((cond) ? static_cast<void>(0) : ::kiln::AssertionFailure(file, line, text))
