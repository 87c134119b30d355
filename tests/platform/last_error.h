// The last error of a call, read before any expectation: GoogleTest on
// Windows changes it when it prints a failure.
#pragma once

#include <gtest/gtest.h>

#include "platform/win32.h"

// Expects a call to fail (give false) leaving the given last error.
#define EXPECT_FAILS_WITH(call, error)                             \
    do {                                                           \
        const bool succeeded_ = static_cast<bool>(call);           \
        const DWORD lastError_ = GetLastError();                   \
        EXPECT_FALSE(succeeded_) << #call;                         \
        EXPECT_EQ(lastError_, static_cast<DWORD>(error)) << #call; \
    } while (0)
