#pragma once
// What the engine suites share: an app home and a bundle with a service options file, the monitor recorder,
// the analytics class registered as its load hook would, and the stored raw events read back from the file.

#include "core/DAVApp.hpp"
#include "measurement/engine/DAVAnalytics.hpp"
#include "measurement/engine/DMSAnalytics.hpp"
#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSRemoteConfig.hpp"
#include "measurement/messages/DMSPBMessages.hpp"
#include "measurement/storage/DMSAEU.hpp"
#include "measurement/storage/DMSDatabase.hpp"
#include "measurement/tests/MeasurementTestSupport.hpp"
#include "platform/dispatch/Backend.hpp"
#include "testing/FixtureBundle.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace dms::test {

inline constexpr const char* kEngineAppID = "1:1111:ios:0123456789abcdef";

inline std::string engineOptionsFile(const std::string& appID = kEngineAppID, const std::string& extra = {}) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>\n<key>RAZOZA_APP_ID</key>"
           "<string>" +
           appID +
           "</string>\n<key>BUNDLE_ID</key><string>test.measurement</string>\n<key>API_KEY</key><string>key-1"
           "</string>\n" +
           extra + "</dict></plist>\n";
}

// One stored raw event as the file holds it.
struct StoredRawEvent {
    std::string name;
    bool realtime = false;
    DMSEventFields fields;
    std::optional<int64_t> intParameter(const std::string& parameter) const {
        for (const auto& p : fields.params) {
            if (p.name == parameter) {
                return p.intValue;
            }
        }
        return std::nullopt;
    }
    std::optional<std::string> stringParameter(const std::string& parameter) const {
        for (const auto& p : fields.params) {
            if (p.name == parameter) {
                return p.stringValue;
            }
        }
        return std::nullopt;
    }
};

// Keeps a configuration for the run, as the database would.
class EngineConfigStorage final : public DMSMeasurementConfigStorage {
public:
    std::optional<DMSMeasurementConfigFields> queryMeasurementConfig(plat::Error*) override { return stored; }
    bool updateRemoteConfig(const DMSMeasurementConfigFields& config, plat::Error*) override {
        stored = config;
        return true;
    }
    std::optional<double> lastRemoteConfigUpdateTimestamp(plat::Error*) override { return 0.0; }
    std::optional<DMSMeasurementConfigFields> stored;
};

class EngineFixture : public ::testing::Test {
protected:
    ~EngineFixture() override { DMSMeasurement::setRemoteConfigForTesting(nullptr); }

    // A configuration parsed from the server's settings, in force for the whole engine.
    void useSettings(std::vector<DMSConfigSetting> settings) {
        std::shared_ptr<DMSRemoteConfig> config = DMSRemoteConfig::initWithAppID(kEngineAppID, &configStorage);
        ASSERT_TRUE(config);
        DMSMeasurementConfigFields fields;
        fields.appID = kEngineAppID;
        fields.settings = std::move(settings);
        config->parseRemoteConfigFromMeasurementConfig(fields);
        DMSMeasurement::setRemoteConfigForTesting(config);
    }
    // Starts the engine as the core would for the default app, with the options given.
    void startEngine(plat::Dictionary options = {}) {
        DMSAnalytics::startWithAppID(kEngineAppID, "fa", options);
        settle();
    }

    // A bundle with the options file (none: no file) and the analytics class of the load hook.
    void makeBundle(std::optional<std::string> options = engineOptionsFile(), plat::Dictionary info = {}) {
        if (!info.find("CFBundleIdentifier")) {
            info.set("CFBundleIdentifier", plat::Value("test.measurement"));
        }
        bundle.emplace(home.root() + "/Portal.app", info);
        if (options) {
            bundle->add("RazozaService-Info.plist", *options);
        }
        bundle->makeMain();
        DAVAnalytics::load();
    }
    static void settle() { plat::Virtual::runUntilIdle(); }

    std::vector<int64_t> codesAmong(std::initializer_list<int64_t> wanted) const {
        std::vector<int64_t> found;
        for (auto code : monitor.codes()) {
            if (std::find(wanted.begin(), wanted.end(), code) != wanted.end()) {
                found.push_back(code);
            }
        }
        return found;
    }
    size_t countOf(int64_t code) const {
        auto codes = monitor.codes();
        return static_cast<size_t>(std::count(codes.begin(), codes.end(), code));
    }
    std::optional<MonitorCall> firstCall(int64_t code) const {
        for (const auto& call : monitor.calls()) {
            if (call.code == code) {
                return call;
            }
        }
        return std::nullopt;
    }

    // The raw events in the file, oldest first (none when there is no file yet).
    std::vector<StoredRawEvent> storedRawEvents() const {
        std::vector<StoredRawEvent> events;
        sqlite3* db = nullptr;
        const std::string path = DMSMeasurementFilePath(DMSDatabase::kDatabaseName);
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
            sqlite3_close(db);
            return events;
        }
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT name, data, is_realtime FROM raw_events ORDER BY rowid", -1, &statement,
                               nullptr) == SQLITE_OK) {
            while (sqlite3_step(statement) == SQLITE_ROW) {
                StoredRawEvent event;
                event.name = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
                const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(statement, 1));
                plat::Data data(bytes, bytes + sqlite3_column_bytes(statement, 1));
                if (auto message = DMSPBEvent::initWithBuffer(data)) {
                    event.fields = DMSEventFieldsFromMessage(message.get());
                }
                event.realtime = sqlite3_column_int(statement, 2) != 0;
                events.push_back(std::move(event));
            }
        }
        sqlite3_finalize(statement);
        sqlite3_close(db);
        return events;
    }
    std::vector<std::string> storedNames() const {
        std::vector<std::string> names;
        for (const auto& event : storedRawEvents()) {
            names.push_back(event.name);
        }
        return names;
    }

    plat::test::TempAppHome home;
    MonitorRecorder monitor;
    EngineConfigStorage configStorage;
    std::optional<plat::test::FixtureBundle> bundle;
};

} // namespace dms::test
