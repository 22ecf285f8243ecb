#pragma once
// Runs a test body in a process of its own.
#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

// The audio back end is chosen from QUILLON_AUDIO once per process, at its
// first use. A case that needs another choice runs its body in a process of
// its own (a fresh run of this program), also when the program runs as a
// whole after cases that already chose one. After the body the child runs
// `cleanup` (what it must stop so that nothing it started outlives it) and
// ends with _exit: the runtime's threads may still run, and static
// destructors must not meet them.
#define IN_FRESH_PROCESS_THEN(cleanup, ...)                                                \
    do {                                                                                   \
        GTEST_FLAG_SET(death_test_style, "threadsafe");                                    \
        EXPECT_EXIT(                                                                       \
            {                                                                              \
                [&] { __VA_ARGS__; }();                                                    \
                cleanup;                                                                   \
                const int failed = ::testing::Test::HasFailure() ? 1 : 0;                  \
                std::fflush(nullptr);                                                      \
                _exit(failed);                                                             \
            },                                                                             \
            ::testing::ExitedWithCode(0), "");                                             \
    } while (0)
