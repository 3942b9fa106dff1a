// The crash-time context under virtual time: what initialisation builds, the metadata it records, the
// set-up tasks with and without a debugger, a slow start-up, and the crash-once guard.

#include "crash/capture/tests/CrashContextFixture.hpp"

#include "crash/capture/VZRContext.hpp"
#include "crash/capture/VZRFile.hpp"
#include "crash/capture/VZRSDKLog.hpp"

#include "kit_host/ZUVUtilities.hpp"
#include "platform/device/DeviceProfile.hpp"
#include "platform/device/SimDevice.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/dispatch/DispatchSemaphore.hpp"
#include "platform/foundation/Locale.hpp"
#include "testing/FixtureBundle.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace {

using crashtest::CrashContextTest;
using crashtest::readFile;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        out.push_back(text.substr(start, end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return out;
}

// Records which set-up tasks ran.
std::set<VZRContextTask>& ranTasks() {
    static std::set<VZRContextTask> ran;
    return ran;
}

void registerRecordingTasks() {
    for (auto task : {VZRContextTask::binaryImages, VZRContextTask::signalHandlers,
                      VZRContextTask::machExceptionHandlers, VZRContextTask::exceptionHandlers})
        VZRContextSetTask(task, [task](const VZRContextInitData& config) {
            EXPECT_STREQ(config.sessionId, "s1");
            ranTasks().insert(task);
        });
}

TEST_F(CrashContextTest, MetadataRecordsIdentityHostAndApplicationInOrder) {
    plat::test::FixtureBundle bundle(home.root() + "/App.app",
                                     plat::Dictionary{{"CFBundleIdentifier", plat::Value("com.example/portal")},
                                                      {"CFBundleVersion", plat::Value("77")},
                                                      {"CFBundleShortVersionString", plat::Value("2.1")}});
    bundle.makeMain();
    plat::sim::LocaleSettings::setCurrentIdentifier("de_DE");
    VZRContextInitData config = crashtest::fixedConfig();
    config.betaToken = "beta\"token";
    ASSERT_TRUE(initialize(config));

    const std::string text = readFile(path("metadata.vzrrecord"));
    const auto all = lines(text);
    ASSERT_EQ(all.size(), 4u) << text;
    EXPECT_EQ(text.back(), '\n');
    // Key order on the raw text; started_at is the virtual wall clock.
    const std::string startedAt = std::to_string(static_cast<uint64_t>(plat::Clock::now()));
    EXPECT_EQ(all[0], "{\"identity\":{\"generator\":\"Vuzidorazav iOS SDK/3.11.0\",\"build_version\":\"133\","
                      "\"display_version\":\"3.11.0\",\"api_key\":\"0123456789abcdef0123456789abcdef01234567\","
                      "\"started_at\":" + startedAt + ",\"session_id\":\"s1\",\"install_id\":\"I1\","
                      "\"beta_token\":\"beta\\\"token\",\"absolute_log_timestamps\":true}}");
    const auto host = nlohmann::ordered_json::parse(all[1])["host"];
    std::vector<std::string> keys;
    for (const auto& [key, value] : host.items())
        keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"model", "machine", "os_build_version", "os_display_version", "platform",
                                              "locale"}));
    EXPECT_EQ(host["model"], plat::DeviceProfile::machine());
    EXPECT_EQ(host["machine"], "SimPhone");
    EXPECT_EQ(host["os_display_version"], ZUVOSDisplayVersion());
    EXPECT_EQ(host["platform"], "ios");
    EXPECT_EQ(host["locale"], "de_DE");
    EXPECT_TRUE(host["os_build_version"].is_string());
    EXPECT_EQ(all[2], "{\"application\":{\"bundle_id\":\"com.example_portal\",\"custom_bundle_id\":null,"
                      "\"build_version\":\"77\",\"display_version\":\"2.1\",\"extension_id\":null}}");
    // The executable's own line comes from the binary image list.
    const auto executable = nlohmann::ordered_json::parse(all[3])["executable"];
    std::vector<std::string> executableKeys;
    for (const auto& [key, value] : executable.items())
        executableKeys.push_back(key);
    EXPECT_EQ(executableKeys, (std::vector<std::string>{"architecture", "uuid", "base", "size", "encrypted",
                                                        "minimum_sdk_version", "built_sdk_version"}));
}

TEST_F(CrashContextTest, MetadataWritesNullsForWhatIsAbsentAndTheExecutableSectionWhenGiven) {
    VZRContextSetExecutableMetadataWriter([](VZRFile* file) {
        VZRFileBeginSection(file, "executable");
        VZRFileBeginObject(file);
        VZRFileWriteStringField(file, "architecture", "x86_64");
        VZRFileEndObject(file);
        VZRFileEndSection(file);
        return true;
    });
    VZRContextInitData config = crashtest::fixedConfig();
    config.apiKey = nullptr;
    config.installId = nullptr;
    config.customBundleId = "custom";
    ASSERT_TRUE(initialize(config));
    const auto all = lines(readFile(path("metadata.vzrrecord")));
    ASSERT_EQ(all.size(), 4u);
    const auto identity = nlohmann::json::parse(all[0])["identity"];
    EXPECT_TRUE(identity["api_key"].is_null());
    EXPECT_TRUE(identity["install_id"].is_null());
    EXPECT_TRUE(identity["beta_token"].is_null());
    const auto application = nlohmann::json::parse(all[2])["application"];
    EXPECT_TRUE(application["bundle_id"].is_null());
    EXPECT_EQ(application["custom_bundle_id"], "custom");
    EXPECT_EQ(all[3], "{\"executable\":{\"architecture\":\"x86_64\"}}");

    VZRContextSetExecutableMetadataWriter([](VZRFile*) { return false; });
    VZRContextRecordMetadata(&config);
    EXPECT_NE(sdkLog().find("] Unable to write out executable metadata\n"), std::string::npos);
}

TEST_F(CrashContextTest, BuildsEveryRecordPathAndDeletesTheLastRunsFiles) {
    ASSERT_TRUE(plat::writeData(path("sdk.log"), plat::Data{'o', 'l', 'd', '\n'}));
    ASSERT_TRUE(plat::writeData(path("metadata.vzrrecord"), plat::Data{'o', 'l', 'd', '\n'}));
    ASSERT_TRUE(initialize());
    EXPECT_FALSE(crashtest::exists(path("sdk.log")));
    EXPECT_EQ(readFile(path("metadata.vzrrecord")).find("old"), std::string::npos);

    const VZRReadOnlyContext& ro = *VZRSharedContext().readonly.load();
    const auto& logs = ro.userLogging;
    const std::vector<std::pair<const char*, const char*>> paths = {
        {ro.logPath.load(), "sdk.log"},
        {ro.binaryImagesPath, "binary_images.vzrrecord"},
        {ro.exception.path, "exception.vzrrecord"},
        {logs.customExceptionPathA, "custom_exception_a.vzrrecord"},
        {logs.customExceptionPathB, "custom_exception_b.vzrrecord"},
        {ro.signal.path, "signal.vzrrecord"},
        {ro.machException.path, "mach_exception.vzrrecord"},
        {ro.metadataPath, "metadata.vzrrecord"},
        {logs.errorsPathA, "errors_a.vzrrecord"},
        {logs.errorsPathB, "errors_b.vzrrecord"},
        {logs.logPathA, "log_a.vzrrecord"},
        {logs.logPathB, "log_b.vzrrecord"},
        {logs.internalIncrementalKVPath, "internal_incremental_kv.vzrrecord"},
        {logs.internalCompactedKVPath, "internal_compacted_kv.vzrrecord"},
        {logs.userIncrementalKVPath, "user_incremental_kv.vzrrecord"},
        {logs.userCompactedKVPath, "user_compacted_kv.vzrrecord"},
    };
    const VZRAllocator& allocator = *VZRSharedContext().allocator.load();
    for (const auto& [p, name] : paths) {
        ASSERT_NE(p, nullptr) << name;
        EXPECT_EQ(std::string(p), path(name));
        const auto at = reinterpret_cast<uintptr_t>(p);
        EXPECT_TRUE(at >= allocator.readOnly.base && at < allocator.readOnly.base + allocator.readOnly.capacity) << name;
    }
    EXPECT_EQ(std::string(ro.host.documentsPath), home.home() + "/Documents");
    EXPECT_EQ(ro.host.pageSize, 4096u);
    EXPECT_EQ(logs.maxCustomKeys, 16u);
    EXPECT_EQ(logs.logBufferSize, 65536u);
    // Both handler stacks are zeroed and writable; the signal stack is the writable region's first bytes.
    EXPECT_EQ(reinterpret_cast<uintptr_t>(ro.signalStack), allocator.writable.base);
    const auto* stack = static_cast<const unsigned char*>(ro.machStack);
    EXPECT_EQ(std::count(stack, stack + kVZRHandlerStackSize, 0), static_cast<long>(kVZRHandlerStackSize));
    const VZRWritableContext& w = *VZRSharedContext().writable.load();
    EXPECT_EQ(w.logThreshold.load(), 1);
    EXPECT_FALSE(w.crashOnce.load());
    EXPECT_TRUE(VZRContextLoggingQueue());
    EXPECT_EQ(VZRContextBinaryImagesQueue()->label(), "com.ruzovid.vuzidorazav.ios.binary-images");
    EXPECT_EQ(VZRContextExceptionQueue()->label(), "com.ruzovid.vuzidorazav.ios.exception");
}

TEST_F(CrashContextTest, APathLongerThanTheReadOnlyRegionFallsBackToMallocWhole) {
    // About 1.6 KB of folder name per path: the 16 paths after the first do not all fit in 20 KB.
    std::string deep = directory;
    for (int i = 0; i < 8; ++i)
        deep += "/" + std::string(200, static_cast<char>('a' + i));
    ASSERT_TRUE(plat::FileManager::defaultManager().createDirectory(deep, true));
    directory = deep;
    ASSERT_TRUE(initialize());
    const VZRReadOnlyContext& ro = *VZRSharedContext().readonly.load();
    EXPECT_EQ(std::string(ro.userLogging.userCompactedKVPath), path("user_compacted_kv.vzrrecord"));
    EXPECT_EQ(std::string(ro.metadataPath), path("metadata.vzrrecord"));
    EXPECT_NE(sdkLog().find("] Unable to allocate sufficient memory, falling back to malloc\n"), std::string::npos);
    EXPECT_NE(readFile(path("metadata.vzrrecord")).find("\"identity\""), std::string::npos);
}

TEST_F(CrashContextTest, WithoutAConfigurationOrFolderNothingIsInitialised) {
    EXPECT_FALSE(VZRContextInitialize(nullptr));
    EXPECT_EQ(VZRSharedContext().allocator.load(), nullptr);
    VZRContextInitData config = crashtest::fixedConfig();
    config.activeDirectory = nullptr;
    EXPECT_FALSE(VZRContextInitialize(&config));
    plat::Virtual::runUntilIdle();
    EXPECT_NE(VZRSharedContext().allocator.load(), nullptr);
    EXPECT_EQ(VZRSharedContext().readonly.load()->logPath.load(), nullptr);
    EXPECT_FALSE(VZRContextIsInitialized());
    EXPECT_FALSE(VZRContextMarkAndCheckIfCrashed());
}

TEST_F(CrashContextTest, AllSetUpTasksRunWithoutADebugger) {
    registerRecordingTasks();
    plat::sim::Device::setDebuggerAttached(false);
    ASSERT_TRUE(initialize());
    EXPECT_EQ(ranTasks().size(), 4u);
    EXPECT_EQ(sdkLog().find("Debugger present"), std::string::npos);
    EXPECT_FALSE(VZRSharedContext().readonly.load()->debuggerAttached);
}

TEST_F(CrashContextTest, ADebuggerKeepsTheHandlersOut) {
    registerRecordingTasks();
    plat::sim::Device::setDebuggerAttached(true);
    ASSERT_TRUE(initialize());
    EXPECT_EQ(ranTasks(), (std::set<VZRContextTask>{VZRContextTask::binaryImages}));
    EXPECT_NE(VZRUserLoggingUserStore(), nullptr);
    EXPECT_NE(sdkLog().find("WARN  [VZRContextInitialize:"), std::string::npos);
    EXPECT_NE(sdkLog().find("] Debugger present - not installing handlers\n"), std::string::npos);
    EXPECT_TRUE(VZRSharedContext().readonly.load()->debuggerAttached);
    EXPECT_TRUE(crashtest::exists(path("metadata.vzrrecord")));
    EXPECT_TRUE(VZRContextIsInitialized());
}

TEST_F(CrashContextTest, ASlowStartReturnsAfterFiveSecondsAndCompletesLater) {
    VZRContextSetTask(VZRContextTask::binaryImages, [](const VZRContextInitData&) {
        plat::DispatchSemaphore stuck(0);
        stuck.wait(6.0); // six seconds of virtual time pass
    });
    EXPECT_TRUE(initialize(crashtest::fixedConfig(), false));
    EXPECT_NE(sdkLog().find("] Error: Delayed initialization\n"), std::string::npos);
    EXPECT_FALSE(VZRContextIsInitialized());
    EXPECT_FALSE(VZRSharedContext().allocator.load()->isProtected.load());
    plat::Virtual::runUntilIdle();
    EXPECT_TRUE(VZRContextIsInitialized());
    EXPECT_TRUE(VZRSharedContext().allocator.load()->isProtected.load());
}

TEST_F(CrashContextTest, AQuickStartIsNotDelayedAndProtectsOnlyAfterTheTasks) {
    EXPECT_TRUE(initialize(crashtest::fixedConfig(), false));
    EXPECT_EQ(sdkLog().find("Delayed"), std::string::npos);
    EXPECT_TRUE(crashtest::exists(path("metadata.vzrrecord")));
    plat::Virtual::runUntilIdle();
    EXPECT_TRUE(VZRContextIsInitialized());
    EXPECT_TRUE(VZRSharedContext().allocator.load()->isProtected.load());
}

TEST_F(CrashContextTest, TheCrashOnceGuardAnswersThreeWays) {
    EXPECT_FALSE(VZRContextMarkAndCheckIfCrashed()) << "no context";
    ASSERT_TRUE(initialize(crashtest::fixedConfig(), false));
    EXPECT_FALSE(VZRContextMarkAndCheckIfCrashed()) << "not initialised yet: nothing is marked";
    EXPECT_FALSE(VZRSharedContext().writable.load()->crashOnce.load());
    plat::Virtual::runUntilIdle();
    EXPECT_FALSE(VZRContextMarkAndCheckIfCrashed()) << "the first crash";
    EXPECT_TRUE(VZRContextMarkAndCheckIfCrashed()) << "a crash was already recorded";
    EXPECT_TRUE(VZRContextMarkAndCheckIfCrashed());
}

} // namespace
