// The loader wrappers: listeners hear of every successful load and of every unload, and only while they
// are registered.

#include "platform/foundation/Loader.hpp"

#include <dlfcn.h>

#include <gtest/gtest.h>

namespace {

TEST(Loader, ListenersHearSuccessfulLoadsAndEveryUnload) {
    int heard = 0;
    const uint64_t token = plat::loader::addListener([&] { ++heard; });
    void* handle = plat::loader::open("libm.so.6", RTLD_NOW);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(heard, 1);
    EXPECT_EQ(plat::loader::open("/nonexistent/libnothing.so", RTLD_NOW), nullptr);
    EXPECT_EQ(heard, 1);
    EXPECT_EQ(plat::loader::close(handle), 0);
    EXPECT_EQ(heard, 2);

    // A listener that removes itself while being told: the others are still told, and it is not told again.
    int second = 0;
    uint64_t secondToken = 0;
    secondToken = plat::loader::addListener([&] {
        ++second;
        plat::loader::removeListener(secondToken);
    });
    plat::loader::removeListener(token);
    handle = plat::loader::open("libm.so.6", RTLD_NOW);
    plat::loader::close(handle);
    EXPECT_EQ(heard, 2);
    EXPECT_EQ(second, 1);
}

} // namespace
