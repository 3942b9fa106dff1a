// Remote settings: readings with their defaults and ranges, parsing a configuration, event configurations,
// and the configuration object's life over its storage.

#include "measurement/engine/DMSRemoteConfig.hpp"
#include "measurement/tests/MeasurementTestSupport.hpp"
#include "platform/dispatch/Clock.hpp"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <functional>

namespace {

class FakeConfigStorage : public DMSMeasurementConfigStorage {
public:
    std::optional<DMSMeasurementConfigFields> queryMeasurementConfig(plat::Error* error) override {
        if (failQuery && error) {
            *error = plat::Error("test", 5);
        }
        return failQuery ? std::nullopt : stored;
    }
    bool updateRemoteConfig(const DMSMeasurementConfigFields& config, plat::Error* error) override {
        if (failUpdate) {
            if (error) {
                *error = plat::Error("test", 6);
            }
            return false;
        }
        stored = config;
        return true;
    }
    std::optional<double> lastRemoteConfigUpdateTimestamp(plat::Error*) override { return updatedAt; }

    std::optional<DMSMeasurementConfigFields> stored;
    double updatedAt = 0;
    bool failQuery = false;
    bool failUpdate = false;
};

DMSMeasurementConfigFields remoteTestConfig(std::vector<DMSConfigSetting> settings, std::string appID = "1:app") {
    DMSMeasurementConfigFields config;
    config.appID = std::move(appID);
    config.settings = std::move(settings);
    return config;
}

std::vector<int64_t> remoteTestCodes(const dms::test::MonitorRecorder& monitor) {
    std::vector<int64_t> codes;
    for (auto code : monitor.codes()) {
        if (code != 30001) { // the worker-queue assertion: these tests run on the main thread
            codes.push_back(code);
        }
    }
    return codes;
}

class DMSRemoteConfigTest : public ::testing::Test {
protected:
    std::unique_ptr<DMSRemoteConfig> withSettings(std::vector<DMSConfigSetting> settings) {
        auto config = DMSRemoteConfig::initWithAppID("1:app", &storage);
        EXPECT_TRUE(config);
        config->parseRemoteConfigFromMeasurementConfig(remoteTestConfig(std::move(settings)));
        return config;
    }
    FakeConfigStorage storage;
    dms::test::MonitorRecorder monitor;
};

struct RemoteSettingCase {
    const char* key;
    const char* text;
    std::function<double(DMSRemoteConfig&)> read;
    double expected;
};

void checkRemoteSettingCases(DMSRemoteConfigTest* test, const std::vector<RemoteSettingCase>& cases,
                             const std::function<std::unique_ptr<DMSRemoteConfig>(std::vector<DMSConfigSetting>)>& make) {
    (void)test;
    for (const auto& c : cases) {
        auto config = make({{c.key, std::string(c.text)}});
        EXPECT_EQ(c.read(*config), c.expected) << c.key << " = " << c.text;
        // The number read stays the answer.
        EXPECT_EQ(c.read(*config), c.expected) << c.key << " = " << c.text;
    }
}

TEST_F(DMSRemoteConfigTest, SettingsAreReadWithTheirUnitsRangesAndDefaults) {
    const std::vector<RemoteSettingCase> cases = {
        {"measurement.upload.interval", "60000", [](DMSRemoteConfig& c) { return c.uploadingInterval(); }, 60},
        {"measurement.upload.interval", "500", [](DMSRemoteConfig& c) { return c.uploadingInterval(); }, 3600},
        {"measurement.upload.interval", "60999.9", [](DMSRemoteConfig& c) { return c.uploadingInterval(); }, 60},
        {"measurement.upload.interval", "1,5", [](DMSRemoteConfig& c) { return c.uploadingInterval(); }, 3600},
        {"measurement.upload.interval", "soon", [](DMSRemoteConfig& c) { return c.uploadingInterval(); }, 3600},
        {"measurement.upload.interval", "600000000000000000000000000000000000000000000000000000000000000000000",
         [](DMSRemoteConfig& c) { return c.uploadingInterval(); }, 3600},
        {"measurement.upload.max_bundles_created_per_iteration", "50",
         [](DMSRemoteConfig& c) { return double(c.maxBundlesCreatedPerIteration()); }, 100},
        {"measurement.upload.max_bundles_created_per_iteration", "5000",
         [](DMSRemoteConfig& c) { return double(c.maxBundlesCreatedPerIteration()); }, 5},
        {"measurement.upload.max_realtime_events_per_day", "20",
         [](DMSRemoteConfig& c) { return double(c.maxRealtimeEventCountPerDay()); }, 10},
        {"measurement.upload.max_realtime_events_per_day", "7",
         [](DMSRemoteConfig& c) { return double(c.maxRealtimeEventCountPerDay()); }, 7},
        {"measurement.search_ad_enabled", "2", [](DMSRemoteConfig& c) { return double(c.isSearchAdReporterEnabled()); },
         1},
        {"measurement.search_ad_enabled", "0", [](DMSRemoteConfig& c) { return double(c.isSearchAdReporterEnabled()); },
         0},
        {"measurement.account.time_zone_offset_minutes", "-900",
         [](DMSRemoteConfig& c) { return double(c.analyticsAccountTimeZoneOffsetMinutes()); }, -900},
        {"measurement.account.time_zone_offset_minutes", "900",
         [](DMSRemoteConfig& c) { return double(c.analyticsAccountTimeZoneOffsetMinutes()); }, 900},
        {"measurement.account.time_zone_offset_minutes", "-901",
         [](DMSRemoteConfig& c) { return double(c.analyticsAccountTimeZoneOffsetMinutes()); }, 0},
        {"measurement.upload.max_batch_size", "10485760",
         [](DMSRemoteConfig& c) { return double(c.uploadMaxSizeLimitBytes()); }, 10485760},
        {"measurement.other", "1", [](DMSRemoteConfig& c) { return double(c.uploadMaxBundlesLimit()); }, 100},
    };
    auto make = [this](std::vector<DMSConfigSetting> settings) { return withSettings(std::move(settings)); };
    checkRemoteSettingCases(this, cases, make);

    // A device whose language writes decimals with a comma reads the same numbers.
    const char* previous = std::getenv("LANG");
    std::string saved = previous ? previous : "";
    setenv("LANG", "de_DE.UTF-8", 1);
    std::setlocale(LC_ALL, "");
    checkRemoteSettingCases(this, cases, make);
    std::setlocale(LC_ALL, "C");
    if (previous) {
        setenv("LANG", saved.c_str(), 1);
    } else {
        unsetenv("LANG");
    }

    // Defaults without any configuration, from the default instance too.
    EXPECT_EQ(DMSRemoteConfig::defaultInstance().maxEventsStored(), 100000);
    EXPECT_EQ(DMSRemoteConfig::defaultInstance().networkTimeout(), 60);
    EXPECT_FALSE(DMSRemoteConfig::defaultInstance().isNetworkBackgroundSessionEnabled());
}

TEST_F(DMSRemoteConfigTest, ParsingReplacesSettingsOnlyForThisAppWithTheLastDuplicateWinning) {
    auto config = withSettings({{"measurement.upload.retry_count", std::string("3")},
                                {"measurement.upload.retry_count", std::string("9")}});
    EXPECT_EQ(config->uploadingRetryCount(), 9);

    DMSMeasurementConfigFields noSettings;
    noSettings.appID = "1:app";
    monitor.clear();
    config->parseRemoteConfigFromMeasurementConfig(noSettings);
    EXPECT_EQ(remoteTestCodes(monitor), std::vector<int64_t>{29012});
    EXPECT_EQ(config->uploadingRetryCount(), 9);

    config->parseRemoteConfigFromMeasurementConfig(
        remoteTestConfig({{"measurement.upload.retry_count", std::string("2")}}, "1:other"));
    EXPECT_EQ(config->uploadingRetryCount(), 9);

    config->parseRemoteConfigFromMeasurementConfig(remoteTestConfig({}));
    EXPECT_EQ(config->uploadingRetryCount(), 6);
}

TEST_F(DMSRemoteConfigTest, EventConfigurationsAnswerUnderTheirInternalNames) {
    auto config = DMSRemoteConfig::initWithAppID("1:app", &storage);
    ASSERT_TRUE(config);
    auto fields = remoteTestConfig({{"measurement.upload.blacklist_internal", std::string("1")}});
    fields.eventConfigs = {{"ad_click", true, std::nullopt, 10},
                           {"purchase_done", false, true, 70000},
                           {"", true, std::nullopt, std::nullopt}};
    monitor.clear();
    config->parseRemoteConfigFromMeasurementConfig(fields);
    EXPECT_EQ(remoteTestCodes(monitor), std::vector<int64_t>{29013});

    EXPECT_TRUE(config->eventConfigWithName("_ac"));
    EXPECT_FALSE(config->eventConfigWithName("ad_click"));
    EXPECT_TRUE(config->isEventBlacklisted("_ac"));
    EXPECT_EQ(config->samplingRateForEvent("_ac"), 10);
    // false in a configuration does not lift the global switch; public names follow the public switch.
    EXPECT_FALSE(config->isEventBlacklisted("purchase_done"));
    EXPECT_TRUE(config->isEventBlacklisted("_internal"));
    EXPECT_TRUE(config->isEventCustomConversion("purchase_done"));
    EXPECT_TRUE(config->eventHasSamplingRate("purchase_done"));
    EXPECT_EQ(config->samplingRateForEvent("purchase_done"), 1);
    EXPECT_FALSE(config->eventHasSamplingRate("unknown"));
    EXPECT_EQ(config->samplingRateForEvent("unknown"), 1);
    monitor.clear();
    EXPECT_FALSE(config->eventConfigWithName(""));
    EXPECT_EQ(remoteTestCodes(monitor), std::vector<int64_t>{29006});
}

TEST_F(DMSRemoteConfigTest, TheObjectLoadsStoresExpiresAndResets) {
    EXPECT_FALSE(DMSRemoteConfig::initWithAppID("", &storage));
    EXPECT_FALSE(DMSRemoteConfig::initWithAppID("1:app", nullptr));
    EXPECT_EQ(remoteTestCodes(monitor), (std::vector<int64_t>{29000, 29001}));

    auto stored = remoteTestConfig({{"measurement.config.cache_time", std::string("120000")}});
    stored.version = 7;
    storage.stored = stored;
    auto config = DMSRemoteConfig::initWithAppID("1:app", &storage);
    ASSERT_TRUE(config);
    EXPECT_EQ(config->version(), 7);
    EXPECT_EQ(config->remoteConfigCacheTimeInterval(), 120);

    storage.updatedAt = plat::Clock::now() - 119;
    EXPECT_FALSE(config->isExpired());
    storage.updatedAt = plat::Clock::now() + 120; // a clock set back counts as well
    EXPECT_TRUE(config->isExpired());

    monitor.clear();
    EXPECT_FALSE(config->updateMeasurementConfig(remoteTestConfig({}, "1:other")));
    EXPECT_FALSE(config->updateMeasurementConfig(std::nullopt));
    storage.failUpdate = true;
    EXPECT_FALSE(config->updateMeasurementConfig(remoteTestConfig({})));
    EXPECT_EQ(remoteTestCodes(monitor), (std::vector<int64_t>{29004, 29003, 29005}));
    EXPECT_EQ(config->version(), 7);
    storage.failUpdate = false;
    auto next = remoteTestConfig({{"measurement.upload.retry_count", std::string("4")}});
    next.version = 8;
    EXPECT_TRUE(config->updateMeasurementConfig(next));
    EXPECT_EQ(storage.stored->version, 8);
    EXPECT_EQ(config->uploadingRetryCount(), 4);

    config->reset();
    EXPECT_EQ(config->version(), -1);
    EXPECT_EQ(config->uploadingRetryCount(), 6);

    monitor.clear();
    storage.stored.reset();
    auto empty = DMSRemoteConfig::initWithAppID("1:app", &storage);
    storage.failQuery = true;
    EXPECT_FALSE(empty->measurementConfigFromDatabase());
    auto& shared = DMSRemoteConfig::defaultInstance();
    EXPECT_FALSE(shared.updateMeasurementConfig(next));
    EXPECT_FALSE(shared.isExpired());
    EXPECT_EQ(shared.lastRemoteConfigUpdateTimestamp(), 0);
    EXPECT_FALSE(shared.measurementConfigFromDatabase());
    EXPECT_EQ(remoteTestCodes(monitor), (std::vector<int64_t>{29017, 29016, 29002, 29007, 29008, 29015}));
}

} // namespace
