// The gtest main of every test program, built twice: on the virtual dispatch backend (the default)
// and on the threaded one (REAL_THREADS programs). Either way the test body runs on the main thread.

#include "platform/dispatch/Backend.hpp"

#include <gtest/gtest.h>

#ifndef PORTAL_TEST_BACKEND_VIRTUAL
#error "PORTAL_TEST_BACKEND_VIRTUAL must be 1 or 0"
#endif

int main(int argc, char** argv) {
    plat::Backend::select(PORTAL_TEST_BACKEND_VIRTUAL ? plat::BackendKind::virtualTime
                                                      : plat::BackendKind::threaded);
    // Death tests re-run the program rather than fork it, since queues may own threads.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
