// The persisted configuration: fresh values, every property under its key, typed reads of stored values of
// another kind, the midnight offset across a relaunch, and the flushed suite as another reader sees it.

#include "core/DAVConfiguration.hpp"
#include "measurement/engine/DMSPersistedConfig.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/PreferenceStore.hpp"
#include "platform/foundation/Random.hpp"
#include "platform/foundation/UserDefaults.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>

namespace {

constexpr const char* kDMSConfigTestSuite = "com.razoza.rmp.measurement";

class DMSPersistedConfigTest : public ::testing::Test {
protected:
    plat::test::TempAppHome home;

    DMSPersistedConfig& config() { return *DMSPersistedConfig::sharedInstance(); }
    std::string suiteFile() const { return home.home() + "/Library/Preferences/" + kDMSConfigTestSuite + ".plist"; }
};

// The file's dictionary as libplist reads it, to check the suite with a reader of its own.
struct DMSPlistFreer {
    void operator()(plist_t node) const { plist_free(node); }
};
using DMSPlistPtr = std::unique_ptr<void, DMSPlistFreer>;

DMSPlistPtr dmsReadPlistFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    return DMSPlistPtr(root);
}

std::string dmsPlistString(plist_t dictionary, const char* key) {
    plist_t node = plist_dict_get_item(dictionary, key);
    if (!node || plist_get_node_type(node) != PLIST_STRING) {
        return "(absent)";
    }
    char* text = nullptr;
    plist_get_string_val(node, &text);
    std::string result = text ? text : "";
    std::free(text);
    return result;
}

double dmsPlistNumber(plist_t dictionary, const char* key) {
    plist_t node = plist_dict_get_item(dictionary, key);
    if (!node) {
        return NAN;
    }
    if (plist_get_node_type(node) == PLIST_REAL) {
        double value = 0;
        plist_get_real_val(node, &value);
        return value;
    }
    if (plist_get_node_type(node) == PLIST_UINT) {
        uint64_t value = 0;
        plist_get_uint_val(node, &value);
        return static_cast<double>(static_cast<int64_t>(value));
    }
    if (plist_get_node_type(node) == PLIST_BOOLEAN) {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return value;
    }
    return NAN;
}

} // namespace

TEST_F(DMSPersistedConfigTest, FreshInstallReadsZeroAndNothing) {
    auto& c = config();
    EXPECT_EQ(c.name(), kDMSConfigTestSuite);
    const std::function<double()> numbers[] = {
        [&] { return c.lastDeleteStaleBundlesTimestamp(); },
        [&] { return c.lastSearchAdLookUpTimestamp(); },
        [&] { return static_cast<double>(c.searchAdRetryCount()); },
        [&] { return static_cast<double>(c.measurementEnabledState()); },
        [&] { return c.lastBackoffTimestamp(); },
        [&] { return c.lastSuccessfulUploadTimestamp(); },
        [&] { return c.lastFailedUploadTimestamp(); },
        [&] { return c.lastMonitorDataSampledTimestamp(); },
        [&] { return static_cast<double>(c.firstOpenTimestampMilliseconds()); },
        [&] { return c.lastSessionActivityClockTime(); },
        [&] { return c.engagementTimeBeforeSessionStart(); },
        [&] { return static_cast<double>(c.sessionNumber()); },
    };
    for (const auto& read : numbers) {
        EXPECT_EQ(read(), 0.0);
    }
    EXPECT_EQ(c.appInstanceID(), std::nullopt);
    EXPECT_EQ(c.appIDFromRMP(), std::nullopt);
    EXPECT_EQ(c.appIDFromAdNet(), std::nullopt);
    EXPECT_EQ(c.hashedIDFA(), std::nullopt);
    EXPECT_EQ(c.appVersion(), std::nullopt);
    EXPECT_EQ(c.osVersion(), std::nullopt);
    EXPECT_EQ(c.configServerLastModifiedString(), std::nullopt);
    EXPECT_EQ(c.deferredAnalyticsCollection(), std::nullopt);
    EXPECT_EQ(c.loadTimestampValue(), std::nullopt);
    EXPECT_EQ(c.searchAdCampaignValue(), std::nullopt);
    EXPECT_FALSE(c.startNewSession());
}

TEST_F(DMSPersistedConfigTest, EveryPropertyIsFlushedUnderItsKey) {
    auto& c = config();
    c.setLastDeleteStaleBundlesTimestamp(1.5);
    c.setSearchAdCampaignValue(plat::Value(1));
    c.setLastSearchAdLookUpTimestamp(2.5);
    c.setSearchAdRetryCount(3);
    c.setAppInstanceID(std::string("instance"));
    c.setAppIDFromRMP(std::string("1:123:ios:abc"));
    c.setAppIDFromAdNet(std::string("adnet"));
    c.setHashedIDFA(std::string("hash"));
    c.setLastBackoffTimestamp(4.5);
    c.setLastSuccessfulUploadTimestamp(5.5);
    c.setLastFailedUploadTimestamp(6.5);
    c.setAppVersion(std::string("1.2"));
    c.setOSVersion(std::string("12.4"));
    c.setLastMonitorDataSampledTimestamp(7.5);
    c.setFirstOpenTimestampMilliseconds(1700000000123);
    c.setConfigServerLastModifiedString(std::string("Tue, 01 Dec 2026 10:00:00 GMT"));
    c.setDeferredAnalyticsCollection(plat::Value(true));
    c.setLoadTimestampValue(plat::Value(8.5));
    c.setStartNewSession(true);
    c.setLastSessionActivityClockTime(9.5);
    c.setEngagementTimeBeforeSessionStart(10.5);
    c.setSessionNumber(11);
    double offset = c.midnightOffset();

    EXPECT_EQ(c.appIDFromRMP(), std::optional<std::string>("1:123:ios:abc"));
    EXPECT_EQ(c.sessionNumber(), 11);
    EXPECT_EQ(c.loadTimestampValue()->doubleValue(), 8.5);
    EXPECT_TRUE(c.startNewSession());

    // Nothing reaches the file before the coalesced flush a second after the last write.
    EXPECT_EQ(plat::sim::Preferences::synchronizeCount(kDMSConfigTestSuite), 0);
    plat::Virtual::advanceBy(1.0);
    EXPECT_EQ(plat::sim::Preferences::synchronizeCount(kDMSConfigTestSuite), 1);

    auto root = dmsReadPlistFile(suiteFile());
    ASSERT_TRUE(root);
    ASSERT_EQ(plist_get_node_type(root.get()), PLIST_DICT);
    plist_t d = root.get();
    struct NumberKey {
        const char* key;
        double value;
    };
    const NumberKey numbers[] = {
        {"/razoza/measurement/last_delete_stale", 1.5},
        {"/razoza/measurement/is_search_ad_campaign", 1},
        {"/razoza/measurement/search_ad_last_attempt_timestamp", 2.5},
        {"/razoza/measurement/search_ad_number_of_retries", 3},
        {"/razoza/measurement/last_backoff", 4.5},
        {"/razoza/measurement/last_successful_upload", 5.5},
        {"/razoza/measurement/last_failed_upload", 6.5},
        {"/razoza/measurement/midnight_offset", offset},
        {"/razoza/measurement/last_monitor_data_sampled_timestamp", 7.5},
        {"/razoza/measurement/first_open_timestamp_ms", 1700000000123.0},
        {"/razoza/measurement/deferred_analytics_collection", 1},
        {"/razoza/measurement/load_timestamp", 8.5},
        {"/razoza/measurement/start_new_session", 1},
        {"/razoza/measurement/last_engagement_end", 9.5},
        {"/razoza/measurement/et_before_session_start", 10.5},
        {"/razoza/measurement/session_number", 11},
    };
    for (const auto& n : numbers) {
        EXPECT_EQ(dmsPlistNumber(d, n.key), n.value) << n.key;
    }
    struct StringKey {
        const char* key;
        const char* value;
    };
    const StringKey strings[] = {
        {"/razoza/measurement/app_instance_id", "instance"},
        {"/razoza/measurement/rmp_app_id", "1:123:ios:abc"},
        {"/razoza/measurement/adnet_app_id", "adnet"},
        {"/razoza/measurement/hashed_idfa", "hash"},
        {"/razoza/measurement/app_version", "1.2"},
        {"/razoza/measurement/os_version", "12.4"},
        {"/razoza/measurement/last_modified_since_key", "Tue, 01 Dec 2026 10:00:00 GMT"},
    };
    for (const auto& s : strings) {
        EXPECT_EQ(dmsPlistString(d, s.key), s.value) << s.key;
    }
    EXPECT_EQ(plist_dict_get_size(d), std::size(numbers) + std::size(strings));

    // A nil string removes its key.
    c.setAppInstanceID(std::nullopt);
    EXPECT_EQ(c.appInstanceID(), std::nullopt);
}

TEST_F(DMSPersistedConfigTest, StoredValuesOfAnotherKindReadAsNothing) {
    auto& c = config();
    c.setString(std::string("not a number"), "/razoza/measurement/session_number");
    EXPECT_EQ(c.sessionNumber(), 0);
    c.setDouble(3.0, "/razoza/measurement/app_version");
    EXPECT_EQ(c.appVersion(), std::nullopt);

    c.setSearchAdCampaignValue(plat::Value(1));
    c.setSearchAdCampaignValue(plat::Value("yes"));
    c.setSearchAdCampaignValue(std::nullopt);
    EXPECT_EQ(c.searchAdCampaignValue()->integerValue(), 1);
    EXPECT_EQ(c.int64ForKey(""), 0);
    EXPECT_EQ(c.stringForKey(""), std::nullopt);
}

TEST_F(DMSPersistedConfigTest, MeasurementEnabledStateComesFromTheStandardSuite) {
    EXPECT_EQ(config().measurementEnabledState(), 0);
    DAVAnalyticsConfiguration::sharedInstance()->setAnalyticsCollectionEnabled(false, true);
    EXPECT_EQ(config().measurementEnabledState(), 2);
    DAVAnalyticsConfiguration::sharedInstance()->setAnalyticsCollectionEnabled(true, true);
    EXPECT_EQ(config().measurementEnabledState(), 1);
    // Not the suite's own value.
    config().setInt64(2, "/razoza/measurement/measurement_enabled_state");
    EXPECT_EQ(config().measurementEnabledState(), 1);
}

TEST_F(DMSPersistedConfigTest, MidnightOffsetIsDrawnOnceAndDrawnAgainAfterClearing) {
    plat::Random::seed(99);
    double offset = config().midnightOffset();
    EXPECT_GE(offset, 0.0);
    EXPECT_LT(offset, 86400.0);
    EXPECT_DOUBLE_EQ(std::round(offset * 1000) / 1000, offset);
    EXPECT_EQ(config().midnightOffset(), offset);

    config().clearValues();
    double redrawn = config().midnightOffset();
    EXPECT_NE(redrawn, offset);
    EXPECT_EQ(config().midnightOffset(), redrawn);
}

TEST_F(DMSPersistedConfigTest, MidnightOffsetSurvivesARelaunch) {
    auto launch = [this] {
        std::string command = std::string(PORTAL_MEASUREMENT_LAUNCH_HELPER) + " '" + home.home() + "'";
        FILE* pipe = ::popen(command.c_str(), "r");
        std::string output;
        char buffer[256];
        while (pipe && std::fgets(buffer, sizeof buffer, pipe)) {
            output += buffer;
        }
        int status = pipe ? ::pclose(pipe) : -1;
        EXPECT_EQ(status, 0) << output;
        return output;
    };
    std::string first = launch();
    ASSERT_EQ(first.rfind("midnight_offset=", 0), 0u) << first;
    EXPECT_EQ(launch(), first);
    // This process reads the same offset from the flushed suite.
    EXPECT_EQ(first, "midnight_offset=" + [&] {
        char text[64];
        std::snprintf(text, sizeof text, "%.3f\n", config().midnightOffset());
        return std::string(text);
    }());
}
