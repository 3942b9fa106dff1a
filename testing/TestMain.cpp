// The gtest main of every test program, built twice: on the virtual dispatch backend (the default)
// and on the threaded one (REAL_THREADS programs). Either way the test body runs on the main thread.

#include "platform/dispatch/Backend.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#ifndef PORTAL_TEST_BACKEND_VIRTUAL
#error "PORTAL_TEST_BACKEND_VIRTUAL must be 1 or 0"
#endif

namespace {

// No test may touch the user's own app home: unless a test configures a home of its own, the default app
// home of a test process (and of the programs it starts) is a private temporary folder, removed at the end.
class ScratchHome {
public:
    ScratchHome() {
        const char* tmp = std::getenv("TMPDIR");
        std::string base = (tmp && *tmp ? std::string(tmp) : std::string("/tmp")) + "/portal-test-home-XXXXXX";
        if (::mkdtemp(base.data())) {
            root_ = base;
            ::setenv("PORTAL_APP_HOME", (root_ + "/home").c_str(), 1);
        }
    }
    ~ScratchHome() {
        std::error_code ec;
        if (!root_.empty())
            std::filesystem::remove_all(root_, ec);
    }
    ScratchHome(const ScratchHome&) = delete;
    ScratchHome& operator=(const ScratchHome&) = delete;

private:
    std::string root_;
};

} // namespace

int main(int argc, char** argv) {
    ScratchHome home;
    plat::Backend::select(PORTAL_TEST_BACKEND_VIRTUAL ? plat::BackendKind::virtualTime
                                                      : plat::BackendKind::threaded);
    // Death tests re-run the program rather than fork it, since queues may own threads.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
