// Tests of a cross build run under qemu-user here. A test then sees the host side of the
// emulation wherever it looks at the process from outside: /proc/self/task lists qemu's
// own threads as well, which come and go on their own. CTest sets TESMAR_TEST_EMULATOR for
// the tests of such a build; the few tests that look there hold only natively.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>

inline bool running_emulated()
{
    const char *emulator = std::getenv("TESMAR_TEST_EMULATOR");
    return emulator != nullptr && *emulator != '\0';
}

#define SKIP_WHEN_EMULATED(why)                                                                    \
    do {                                                                                           \
        if (running_emulated())                                                                    \
            GTEST_SKIP() << "native only: " << (why);                                              \
    } while (0)
