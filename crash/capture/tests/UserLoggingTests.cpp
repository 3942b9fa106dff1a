// Custom keys, the free-text log and recorded errors, over a context in a fresh report folder.

#include "crash/capture/tests/CrashContextFixture.hpp"

#include "crash/capture/VZRFile.hpp"
#include "crash/capture/VZRUserLogging.hpp"
#include "crash/capture/VZRUtilities.hpp"

#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/Faults.hpp"
#include "platform/foundation/FileManager.hpp"

#include <dlfcn.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace {

using crashtest::exists;
using crashtest::readFile;

std::vector<std::string> fileLines(const std::string& path) {
    std::vector<std::string> out;
    const std::string text = readFile(path);
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        out.push_back(text.substr(start, end - start));
    return out;
}

class UserLoggingTest : public crashtest::CrashContextTest {
protected:
    void SetUp() override {
        CrashContextTest::SetUp();
        ASSERT_TRUE(initialize(config()));
    }
    virtual VZRContextInitData config() { return crashtest::fixedConfig(); }

    static VZRUserLoggingReadOnlyContext& logs() { return VZRSharedContext().readonly.load()->userLogging; }
    static VZRUserLoggingWritableContext& state() { return VZRSharedContext().writable.load()->userLogging; }

    plat::Dictionary userKeys() { return VZRUserLoggingGetCompactedKVEntries(VZRUserLoggingUserStore(), true); }
};

TEST_F(UserLoggingTest, AKeySetAndRemovedIsGoneEvenWhenTheCompactedFileHoldsIt) {
    // An earlier compaction kept "k" and "other".
    {
        VZRFile f;
        ASSERT_TRUE(VZRFileInitWithPath(&f, path("user_compacted_kv.vzrrecord").c_str(), false));
        for (const char* key : {"k", "other"}) {
            VZRFileBeginSection(&f, "kv");
            VZRFileBeginObject(&f);
            VZRFileWriteHexField(&f, "key", key, std::strlen(key));
            VZRFileWriteHexField(&f, "value", "old", 3);
            VZRFileEndObject(&f);
            VZRFileEndSection(&f);
        }
        VZRFileClose(&f);
    }
    VZRUserLoggingRecordUserKeyValue("k", plat::Value("v"));
    EXPECT_EQ(userKeys().find("k")->asString(), "v");
    VZRUserLoggingRecordUserKeyValue("k", std::nullopt);
    EXPECT_EQ(fileLines(path("user_incremental_kv.vzrrecord")),
              (std::vector<std::string>{R"({"kv":{"key":"6b","value":"76"}})", R"({"kv":{"key":"6b","value":null}})"}));
    const plat::Dictionary keys = userKeys();
    EXPECT_FALSE(keys.contains("k"));
    EXPECT_EQ(keys.find("other")->asString(), "old");
}

TEST_F(UserLoggingTest, KeysAndValuesTravelAsHexAndValuesAsTheirDescription) {
    const std::string key = "quote\" new\nline \x01\xff";
    VZRUserLoggingRecordUserKeyValue(key, plat::Value("a\"b\\c"));
    VZRUserLoggingRecordUserKeyValue("n", plat::Value(int64_t{5}));
    VZRUserLoggingRecordUserKeyValue(std::nullopt, plat::Value("lost"));
    EXPECT_NE(sdkLog().find("] User provided bad key\n"), std::string::npos);
    for (const std::string& line : fileLines(path("user_incremental_kv.vzrrecord")))
        EXPECT_TRUE(nlohmann::json::accept(line)) << line;
    // The key is not UTF-8, so it cannot be decoded: the entry is dropped with its line; undecoded it stays.
    const plat::Dictionary decoded = userKeys();
    EXPECT_EQ(decoded.size(), 1u);
    EXPECT_EQ(decoded.find("n")->asString(), "5");
    EXPECT_NE(sdkLog().find("] incremental key/value contains a nil and must be dropped\n"), std::string::npos);
    const plat::Dictionary raw = VZRUserLoggingGetCompactedKVEntries(VZRUserLoggingUserStore(), false);
    EXPECT_EQ(raw.size(), 2u);
    EXPECT_EQ(raw.find("6e")->asString(), "35");
}

TEST_F(UserLoggingTest, TheSixtyFourthWriteCompactsToTheLiveKeysUpToTheMaximum) {
    struct Case {
        int distinctKeys;
        size_t lines;
        bool truncated;
    };
    for (const Case& c : {Case{20, 16, true}, Case{4, 4, false}}) {
        SCOPED_TRACE(c.distinctKeys);
        for (const char* name : {"user_incremental_kv.vzrrecord", "user_compacted_kv.vzrrecord", "sdk.log"})
            VZRUnlinkIfExists(path(name).c_str());
        for (int i = 0; i < 63; ++i)
            VZRUserLoggingRecordUserKeyValue("key" + std::to_string(i % c.distinctKeys), plat::Value(int64_t{i}));
        plat::Virtual::runUntilIdle();
        EXPECT_FALSE(exists(path("user_compacted_kv.vzrrecord")));
        VZRUserLoggingRecordUserKeyValue("key0", plat::Value("last"));
        plat::Virtual::runUntilIdle();
        EXPECT_EQ(fileLines(path("user_compacted_kv.vzrrecord")).size(), c.lines);
        EXPECT_FALSE(exists(path("user_incremental_kv.vzrrecord")));
        EXPECT_FALSE(exists(path("user_compacted_kv.vzrrecord.tmp")));
        EXPECT_EQ(sdkLog().find("INFO  [VZRUserLoggingCompactKVEntries:") != std::string::npos, c.truncated);
        EXPECT_EQ(sdkLog().find("] Truncating KV set, which is above max 16\n") != std::string::npos, c.truncated);
        EXPECT_EQ(state().userKVCount.load(), 0u);
        const plat::Dictionary keys = userKeys();
        EXPECT_EQ(keys.size(), c.lines);
        EXPECT_EQ(keys.find("key0")->asString(), "last");
    }
}

// What a reader finds when the process dies, or a step fails, at each point of a compaction: the files are
// copied aside at that point and read back as a store of their own.
TEST_F(UserLoggingTest, ACompactionCutShortAtAnyStepLosesNoKey) {
    const std::string aside = home.root() + "/aside";
    int copies = 0;
    std::vector<VZRKVStoreDescriptor> snapshots;
    std::vector<std::string> paths; // kept alive for the descriptors
    paths.reserve(8);
    VZRUserLoggingSetCompactionStepHookForTesting([&](int step) {
        const std::string dir = aside + std::to_string(copies) + "-step" + std::to_string(step);
        ASSERT_TRUE(plat::FileManager::defaultManager().createDirectory(dir, true));
        for (const char* name : {"user_incremental_kv.vzrrecord", "user_compacted_kv.vzrrecord"}) {
            if (exists(path(name))) {
                ASSERT_TRUE(plat::FileManager::defaultManager().copyItem(path(name), dir + "/" + name));
            }
        }
        paths.push_back(dir + "/user_incremental_kv.vzrrecord");
        paths.push_back(dir + "/user_compacted_kv.vzrrecord");
        snapshots.push_back({paths[paths.size() - 2].c_str(), paths.back().c_str(), 16, 64});
        ++copies;
    });
    // Round one compacts "old" into the compacted file; round two's rename fails; round three goes through.
    VZRUserLoggingRecordUserKeyValue("old", plat::Value("kept"));
    for (int i = 0; i < 63; ++i)
        VZRUserLoggingRecordUserKeyValue("a" + std::to_string(i % 3), plat::Value(int64_t{i}));
    plat::Virtual::runUntilIdle();
    ASSERT_EQ(copies, 2);
    plat::sim::Faults::fail("file.rename", "user_compacted_kv.vzrrecord", EIO);
    for (int i = 0; i < 64; ++i)
        VZRUserLoggingRecordUserKeyValue("b" + std::to_string(i % 3), plat::Value(int64_t{i}));
    plat::Virtual::runUntilIdle();
    EXPECT_NE(sdkLog().find("] Error: Unable to replace compacted k-v file"), std::string::npos);
    EXPECT_FALSE(exists(path("user_compacted_kv.vzrrecord.tmp")));
    const plat::Dictionary afterFailure = userKeys();
    EXPECT_EQ(afterFailure.find("old")->asString(), "kept");
    EXPECT_TRUE(afterFailure.contains("b2"));
    for (int i = 0; i < 64; ++i)
        VZRUserLoggingRecordUserKeyValue("c", plat::Value(int64_t{i}));
    plat::Virtual::runUntilIdle();
    ASSERT_EQ(copies, 5); // the failed round stopped after its first step
    snapshots.push_back(*VZRUserLoggingUserStore());
    for (size_t i = 0; i < snapshots.size(); ++i) {
        SCOPED_TRACE(i);
        const plat::Dictionary keys = VZRUserLoggingGetCompactedKVEntries(&snapshots[i], true);
        EXPECT_EQ(keys.find("old")->asString(), "kept");
        EXPECT_TRUE(keys.contains("a0"));
        if (i >= 2) {
            EXPECT_TRUE(keys.contains("b1"));
        }
        if (i >= 3) {
            EXPECT_TRUE(keys.contains("c"));
        }
    }
    VZRUserLoggingSetCompactionStepHookForTesting({});
}

TEST_F(UserLoggingTest, ALogLongerThanTheBufferIsCutWithTheWarning) {
    plat::sim::ConsoleCapture console;
    VZRLog("%@", plat::Value(std::string(70000, 'a')));
    EXPECT_NE(console.nslog().find("WARNING: Attempted to write 70000 bytes, but 65536 is the maximum size of the "
                                   "log. Truncating to 65536 bytes.\n"),
              std::string::npos);
    const auto lines = fileLines(path("log_a.vzrrecord"));
    ASSERT_EQ(lines.size(), 1u);
    const auto line = nlohmann::json::parse(lines[0]);
    std::string expected;
    for (int i = 0; i < 65536; ++i)
        expected += "61";
    EXPECT_EQ(line["log"]["msg"], expected);
    EXPECT_GT(line["log"]["time"].get<uint64_t>(), 1000000000000u);
}

TEST_F(UserLoggingTest, TheLogSwapsOnlyOnceItsFileExceedsTheLimit) {
    auto writeRaw = [&](size_t bytes) {
        const std::string text(bytes - 1, 'x');
        VZRUserLoggingWriteAndCheckABFiles(&logs().log, &state().logCurrent, [&](VZRFile* f) {
            VZRFileWriteBytes(f, text.data(), text.size());
            VZRFileWriteBytes(f, "\n", 1);
        });
        plat::Virtual::runUntilIdle();
    };
    writeRaw(65536);
    EXPECT_STREQ(state().logCurrent.load(), logs().logPathA); // exactly the limit stays
    writeRaw(1);
    EXPECT_STREQ(state().logCurrent.load(), logs().logPathB);
    writeRaw(65537);
    EXPECT_STREQ(state().logCurrent.load(), logs().logPathA);
    EXPECT_FALSE(exists(logs().logPathA)); // the third swap deletes A and starts it again
    EXPECT_TRUE(exists(logs().logPathB));
    writeRaw(10);
    EXPECT_EQ(readFile(logs().logPathA).size(), 10u);
}

class CountLimitedErrorsTest : public UserLoggingTest {
protected:
    VZRContextInitData config() override {
        VZRContextInitData c = crashtest::fixedConfig();
        c.errorReportingEnabled = true;
        c.maxCustomExceptions = 2;
        return c;
    }
};

TEST_F(CountLimitedErrorsTest, ErrorsRecordTheirStackUserInfoAndExtraInfoAsDescriptionPairs) {
    const plat::Error error("com.example.Errors", -7, plat::Dictionary{{"k", plat::Value("v")},
                                                                       {"n", plat::Value(int64_t{5})}});
    const plat::Dictionary extra{{"z", plat::Value("last")}, {"a", plat::Value(true)}};
    VZRUserLoggingRecordError(error, &extra);
    const auto lines = fileLines(path("errors_a.vzrrecord"));
    ASSERT_EQ(lines.size(), 1u);
    const auto e = nlohmann::json::parse(lines[0])["error"];
    EXPECT_EQ(e["domain"], "636f6d2e6578616d706c652e4572726f7273");
    EXPECT_EQ(e["code"], -7);
    EXPECT_EQ(e["info"], nlohmann::json::parse(R"([["6b","76"],["6e","35"]])"));
    EXPECT_EQ(e["extra_info"], nlohmann::json::parse(R"([["7a","6c617374"],["61","31"]])"));
    ASSERT_FALSE(e["stacktrace"].empty());
    Dl_info self{}, frame{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&fileLines), &self), 0);
    ASSERT_NE(dladdr(reinterpret_cast<void*>(e["stacktrace"][0].get<uintptr_t>()), &frame), 0);
    EXPECT_STREQ(frame.dli_fname, self.dli_fname);
    EXPECT_NE(lines[0].find("\"stacktrace\":["), std::string::npos);
    EXPECT_EQ(lines[0].find("\"info\":[]"), std::string::npos);
}

TEST_F(CountLimitedErrorsTest, TheSecondErrorOfTwoSwapsTheFiles) {
    const plat::Error error("d", 1);
    VZRUserLoggingRecordError(error, nullptr);
    plat::Virtual::runUntilIdle();
    EXPECT_STREQ(state().errorsCurrent.load(), logs().errorsPathA);
    VZRUserLoggingRecordError(error, nullptr);
    plat::Virtual::runUntilIdle();
    EXPECT_STREQ(state().errorsCurrent.load(), logs().errorsPathB);
    EXPECT_EQ(fileLines(logs().errorsPathA).size(), 2u);
    EXPECT_EQ(state().errorsCount.load(), 0u);
    // No "info" for an error without user info.
    EXPECT_EQ(fileLines(logs().errorsPathA)[0].find("\"info\""), std::string::npos);
}

TEST_F(UserLoggingTest, ErrorsAreNotWrittenWhileErrorReportingIsOff) {
    VZRUserLoggingRecordError(plat::Error("d", 1), nullptr);
    plat::Virtual::runUntilIdle();
    EXPECT_FALSE(exists(logs().errorsPathA));
    EXPECT_FALSE(exists(logs().errorsPathB));
}

TEST(UserLoggingBeforeStart, LogsWarnOnTheConsoleUntilSilenced) {
    plat::sim::ConsoleCapture console;
    VZRLog("hello %d", 3);
    EXPECT_NE(console.nslog().find("[Vuzidorazav:Crash] WARNING: VZRLog has been used before (or concurrently with) "
                                   "Vuzidorazav initialization and cannot be recorded. The message was: \nhello 3"),
              std::string::npos);
    plat::sim::Console::clearCaptured();
    VZRUserLoggingDisableUninitializedKitMessaging();
    VZRLog("again");
    EXPECT_EQ(console.nslog(), "");
}

} // namespace
