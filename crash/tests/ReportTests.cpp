// Report objects over fixture report folders, and keys recorded into an earlier report's own files.

#include "crash/VZRReport.hpp"

#include "crash/capture/VZRFile.hpp"
#include "crash/capture/tests/CrashContextFixture.hpp"

#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/FileManager.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// One record file: sections of string or unsigned fields, one line each.
struct FixtureSection {
    std::string name;
    std::vector<std::pair<std::string, std::string>> strings;
    std::vector<std::pair<std::string, uint64_t>> numbers;
};

void writeRecordFile(const std::string& path, const std::vector<FixtureSection>& sections) {
    VZRFile f;
    ASSERT_TRUE(VZRFileInitWithPath(&f, path.c_str(), false));
    for (const FixtureSection& s : sections) {
        VZRFileBeginSection(&f, s.name.c_str());
        VZRFileBeginObject(&f);
        for (const auto& [k, v] : s.strings)
            VZRFileWriteStringField(&f, k.c_str(), v.c_str());
        for (const auto& [k, v] : s.numbers)
            VZRFileWriteUnsignedField(&f, k.c_str(), v);
        VZRFileEndObject(&f);
        VZRFileEndSection(&f);
    }
    VZRFileClose(&f);
}

void writeMetadata(const std::string& dir) {
    writeRecordFile(dir + "/metadata.vzrrecord",
                    {{"identity", {{"api_key", "K"}, {"session_id", "S1"}}, {{"started_at", 1700000000}}},
                     {"host", {{"os_build_version", "19F77"}, {"os_display_version", "12.4.0"}}, {}},
                     {"application", {{"build_version", "77"}, {"display_version", "2.1"}}, {}}});
}

struct ReportCase {
    const char* name;
    bool metadata;
    std::vector<const char*> crashFiles; // each with its section named after the file and "time"
    bool errors;
    bool exists;
    bool submit;
    bool crash;
    std::optional<double> crashedOn;
    const char* identifier;
};

TEST(InternalReportTest, FixtureFoldersAnswerAsTheirFilesSay) {
    plat::test::TempAppHome home;
    plat::sim::ConsoleCapture console;
    const std::vector<ReportCase> cases{
        {"metadata-only", true, {}, false, true, false, false, std::nullopt, "S1"},
        {"errors", true, {}, true, true, true, false, std::nullopt, "S1"},
        {"mach-and-signal", true, {"mach_exception", "signal"}, false, true, true, true, 1001, "S1"},
        {"signal-only", true, {"signal"}, false, true, true, true, 1002, "S1"},
        // Only the terminate handler's record: its time is the crash date.
        {"exception-only", true, {"exception"}, false, true, true, true, 1000, "S1"},
        // The crash came before the metadata was written: the folder's name stands in.
        {"E-no-metadata", false, {"signal"}, false, true, true, true, 1002, "E-no-metadata"},
        {"nothing", false, {}, false, false, false, false, std::nullopt, nullptr},
    };
    for (const ReportCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = home.root() + "/" + c.name;
        ASSERT_TRUE(plat::FileManager::defaultManager().createDirectory(dir, true));
        if (c.metadata)
            writeMetadata(dir);
        uint64_t time = 1000;
        for (const char* section : {"exception", "mach_exception", "signal"}) {
            for (const char* wanted : c.crashFiles) {
                if (std::strcmp(section, wanted) == 0)
                    writeRecordFile(dir + "/" + section + ".vzrrecord", {{section, {}, {{"time", time}}}});
            }
            ++time;
        }
        if (c.errors)
            writeRecordFile(dir + "/errors_a.vzrrecord", {{"error", {}, {{"time", 5}}}});
        plat::sim::Console::clearCaptured();
        const auto report = VZRInternalReport::reportWithPath(dir);
        ASSERT_EQ(report != nullptr, c.exists);
        EXPECT_EQ(console.nslog().find("[Vuzidorazav:Crash] Unable to read identifier at path " + dir) !=
                      std::string::npos,
                  !c.metadata);
        if (!report)
            continue;
        EXPECT_EQ(report->identifier(), c.identifier);
        EXPECT_EQ(report->needsToBeSubmitted(), c.submit);
        EXPECT_EQ(report->isCrash(), c.crash);
        const auto date = report->crashedOnDate();
        EXPECT_EQ(date.has_value(), c.crashedOn.has_value());
        if (date && c.crashedOn) {
            EXPECT_EQ(date->timeIntervalSince1970(), *c.crashedOn);
        }
        if (c.metadata) {
            EXPECT_EQ(report->APIKey(), "K");
            EXPECT_EQ(report->OSVersion(), "12.4.0");
            EXPECT_EQ(report->OSBuildVersion(), "19F77");
            EXPECT_EQ(report->bundleVersion(), "77");
            EXPECT_EQ(report->bundleShortVersionString(), "2.1");
            EXPECT_EQ(report->dateCreated()->timeIntervalSince1970(), 1700000000.0);
        }
        VZRReport view(report, true);
        EXPECT_EQ(view.identifier(), c.identifier);
        EXPECT_EQ(view.isCrash(), c.crash);
    }
}

class ReportKeysTest : public crashtest::CrashContextTest {};

TEST_F(ReportKeysTest, KeysLandInTheEarlierReportsOwnFilesUnlessPrefetched) {
    ASSERT_TRUE(initialize());
    const std::string earlier = home.root() + "/earlier";
    ASSERT_TRUE(plat::FileManager::defaultManager().createDirectory(earlier, true));
    writeMetadata(earlier);
    auto internal = VZRInternalReport::reportWithPath(earlier);
    ASSERT_TRUE(internal);

    VZRReport prefetched(internal, true);
    EXPECT_FALSE(prefetched.canRecordNewValues());
    prefetched.setObjectValue(plat::Value("v"), "k");
    EXPECT_FALSE(crashtest::exists(earlier + "/user_incremental_kv.vzrrecord"));

    VZRReport open(internal);
    ASSERT_TRUE(open.canRecordNewValues());
    open.setObjectValue(plat::Value("v"), "k");
    open.setObjectValue(plat::Value("w"), "other");
    open.setUserEmail("a@example.test");
    EXPECT_EQ(VZRReport(internal).customKeys(), (plat::Dictionary{{"k", plat::Value("v")}, {"other", plat::Value("w")}}));
    EXPECT_TRUE(crashtest::exists(earlier + "/internal_incremental_kv.vzrrecord"));
    EXPECT_FALSE(crashtest::exists(path("user_incremental_kv.vzrrecord"))); // not the running report's
    open.setObjectValue(std::nullopt, "k");
    EXPECT_EQ(VZRReport(internal).customKeys(), (plat::Dictionary{{"other", plat::Value("w")}}));
    EXPECT_EQ(open.userEmail(), std::nullopt);
}

} // namespace
