// The registry under concurrent use: lookups and messages while other threads add, replace and exchange
// methods and register classes.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"

namespace plat::rt {
namespace {

TEST(RuntimeConcurrency, MessagesStayConsistentWhileMethodsChange) {
    Class* cls = registerClass("Busy");
    addMethod(cls, "value", [](Object&) { return 1; });
    addMethod(cls, "swapped", [](Object&) { return 2; });
    auto obj = createInstance(cls);

    constexpr int kAdders = 2;
    constexpr int kMethodsPerAdder = 300;
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                int v = msgSend<int>(obj, "value");
                if (v != 1 && v != 2) {
                    ++bad;
                }
                if (!respondsTo(obj, "swapped") || !instanceMethod(cls, "value")) {
                    ++bad;
                }
                (void)classList();
                (void)getClass("Busy");
                // Readers that never pause would starve the writers of the reader-preferring lock.
                std::this_thread::yield();
            }
        });
    }
    std::vector<std::thread> writers;
    for (int w = 0; w < kAdders; ++w) {
        writers.emplace_back([&, w] {
            for (int i = 0; i < kMethodsPerAdder; ++i) {
                const std::string name = "m" + std::to_string(w) + "_" + std::to_string(i);
                addMethod(cls, name, [i](Object&) { return i; });
                registerClass("C" + name, cls);
                if (i % 10 == 0) {
                    exchangeImplementations(ownMethod(cls, "value"), ownMethod(cls, "swapped"));
                }
            }
        });
    }
    for (auto& t : writers) {
        t.join();
    }
    stop = true;
    for (auto& t : readers) {
        t.join();
    }
    EXPECT_EQ(bad.load(), 0);
    for (int w = 0; w < kAdders; ++w) {
        for (int i = 0; i < kMethodsPerAdder; i += 97) {
            const std::string name = "m" + std::to_string(w) + "_" + std::to_string(i);
            EXPECT_EQ(msgSend<int>(obj, name), i);
            EXPECT_EQ(getClass("C" + name)->superclass(), cls);
        }
    }
    EXPECT_EQ(classList().size(), 2u + kAdders * kMethodsPerAdder);
}

TEST(RuntimeConcurrency, SelectorsInternOnceAcrossThreads) {
    std::vector<std::vector<Sel>> seen(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) {
                seen[t].push_back(Sel("sel" + std::to_string(i) + ":"));
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    for (int t = 1; t < 4; ++t) {
        EXPECT_EQ(seen[t], seen[0]);
    }
}

TEST(RuntimeConcurrency, AssociationsAndClassChangesFromManyThreads) {
    Class* a = registerClass("A");
    Class* b = registerClass("B", a);
    addMethod(a, "who", [](Object&) { return std::string("a"); });
    addMethod(b, "who", [](Object&) { return std::string("b"); });
    auto obj = createInstance(a);
    static const char keys[4] = {};
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            const ObjectPtr values[2] = {createInstance(a), createInstance(b)};
            for (int i = 0; i < 500; ++i) {
                setAssociated(*obj, &keys[t], values[i % 2], AssociationPolicy::Retain);
                if (getAssociatedObject(*obj, &keys[t]) != values[i % 2]) {
                    ++bad;
                }
                object_setClass(*obj, (i + t) % 2 ? a : b);
                auto who = msgSend<std::string>(obj, "who");
                if (who != "a" && who != "b") {
                    ++bad;
                }
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(bad.load(), 0);
}

} // namespace
} // namespace plat::rt
