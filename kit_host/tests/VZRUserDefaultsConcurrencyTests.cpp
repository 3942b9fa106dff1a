// The file-backed defaults under real threads: concurrent setters and synchronisers leave a file that
// holds exactly what memory holds.

#include "kit_host/VZRUserDefaults.hpp"

#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/PropertyList.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

TEST(VZRUserDefaultsConcurrency, TheFileEqualsMemoryAfterConcurrentSynchronises) {
    plat::test::TempAppHome home;
    auto& d = VZRUserDefaults::standardUserDefaults();
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&d, t] {
            for (int i = 0; i < 50; ++i) {
                d.setObject(plat::Value(int64_t{i}), "thread" + std::to_string(t));
                d.setString(std::to_string(t) + ":" + std::to_string(i), "last");
                d.synchronize();
                (void)d.objectForKey("last");
            }
        });
    }
    for (auto& thread : threads)
        thread.join();

    auto bytes = plat::readData(d.fileURL());
    ASSERT_TRUE(bytes);
    auto onDisk = plat::PropertyListSerialization::dictionary(*bytes);
    ASSERT_TRUE(onDisk);
    EXPECT_EQ(*onDisk, d.dictionaryRepresentation());
    EXPECT_EQ(*onDisk, d.persistedDataDictionary());
    for (int t = 0; t < 8; ++t)
        EXPECT_EQ(onDisk->find("thread" + std::to_string(t))->integerValue(), 49);
}

} // namespace
