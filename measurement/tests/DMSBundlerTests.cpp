// Bundling against the real database: which raw events one bundle takes (hour bucket, contiguous rows,
// count and size budgets), the raw events that could stall the queue for good, the blacklist, "_lte", and
// sampling with a seeded random source.

#include "measurement/storage/DMSCategories.hpp"
#include "measurement/tests/MeasurementUploadFixture.hpp"
#include "platform/foundation/Random.hpp"

#include <gtest/gtest.h>

namespace {

using dms::test::kUploadT0;
using dms::test::UploadFixture;
using B = DMSPBMeasurementBundle;

class DMSBundlerTest : public UploadFixture {
protected:
    // A launch without network (nothing is uploaded), its first-open raw events bundled out of the way.
    void startOffline(std::vector<DMSConfigSetting> settings = {}) {
        if (!settings.empty()) {
            useSettings(std::move(settings));
        }
        start({}, false);
        onWorker([] {
            while (controller().bundleRawEvents()) {
            }
        });
        firstBundles = queued().size();
    }
    // A header of its own: headers differ by their app version.
    static std::shared_ptr<B> header(const std::string& version) {
        auto bundle = controller().createRawEventMetadataWithUserAttributes({});
        NANOSetString(bundle, B::kAppVersion, plat::Value(version));
        return bundle;
    }
    static void storeRaw(const std::shared_ptr<B>& metadata, const std::string& name, double timestamp,
                         plat::Dictionary parameters = {}) {
        onWorker([&] {
            plat::Error error;
            ASSERT_TRUE(controller().database()->insertIfNotExistsRawEventMetadata(metadata, &error));
            const bool internal = name.front() == '_';
            auto event = DMSEvent::initWithOrigin(internal ? "auto" : "app", !internal, name, timestamp, 0, parameters);
            ASSERT_TRUE(event);
            const int64_t fingerprint = dms_64LSBMD5(metadata->protoBuffer().value_or(plat::Data()));
            ASSERT_TRUE(controller().database()->insertRawEvent(&*event, fingerprint, false, &error));
        });
    }
    // Bundles until nothing is left; the event names of each new bundle.
    std::vector<std::vector<std::string>> bundleAll() {
        onWorker([] {
            for (int i = 0; i < 50 && controller().bundleRawEvents(); ++i) {
            }
        });
        std::vector<std::vector<std::string>> names;
        auto all = queued();
        for (size_t i = firstBundles; i < all.size(); ++i) {
            std::vector<std::string> bundle;
            auto events = NANOGetArray(all[i].bundle, B::kEvents, &DMSPBEvent::messageClass());
            for (const auto& event : events.value_or(plat::Array{})) {
                bundle.push_back(NANOGetString(std::static_pointer_cast<NANOMessage>(event.asObject()),
                                               DMSPBEvent::kName)
                                     .value_or(""));
            }
            names.push_back(bundle);
        }
        return names;
    }
    size_t firstBundles = 0;
};

using Names = std::vector<std::vector<std::string>>;

TEST_F(DMSBundlerTest, AnHourBoundaryEndsABundle) {
    startOffline();
    auto h = header("a");
    storeRaw(h, "a", kUploadT0 + 3599.5);
    storeRaw(h, "b", kUploadT0 + 3599.9);
    storeRaw(h, "c", kUploadT0 + 3600);
    EXPECT_EQ(bundleAll(), (Names{{"a", "b"}, {"c"}}));
    EXPECT_TRUE(storedRawEvents().empty());
}

TEST_F(DMSBundlerTest, ARowOfAnotherHeaderInBetweenEndsTheRun) {
    startOffline();
    auto first = header("a");
    auto second = header("b");
    storeRaw(first, "a1", kUploadT0);
    storeRaw(second, "b1", kUploadT0);
    storeRaw(first, "a2", kUploadT0);
    EXPECT_EQ(bundleAll(), (Names{{"a1"}, {"b1"}, {"a2"}}));
    const auto bundles = queued();
    EXPECT_EQ(NANOGetString(bundles[firstBundles + 1].bundle, B::kAppVersion), "b");
}

TEST_F(DMSBundlerTest, TheCountLimitSplitsARun) {
    startOffline({{"measurement.upload.max_events_per_bundle", std::string("2")}});
    auto h = header("a");
    for (const char* name : {"a", "b", "c"}) {
        storeRaw(h, name, kUploadT0);
    }
    EXPECT_EQ(bundleAll(), (Names{{"a", "b"}, {"c"}}));
}

// The oldest event is taken whatever its size: with the budget as low as the server may set it, every event
// still leaves in a bundle of its own instead of stalling all behind it.
TEST_F(DMSBundlerTest, AnOversizedFirstEventIsStillTakenAlone) {
    startOffline({{"measurement.upload.max_batch_size", std::string("0")}});
    auto h = header("a");
    storeRaw(h, "a", kUploadT0, {{"text", plat::Value(dms::test::repeated("x", 90))}});
    storeRaw(h, "b", kUploadT0);
    EXPECT_EQ(bundleAll(), (Names{{"a"}, {"b"}}));
    EXPECT_TRUE(storedRawEvents().empty());
}

// A first row that cannot be read is deleted in the same transaction (with a data-loss line), so the rows
// behind it are bundled; before, every call failed on it and nothing was ever uploaded again.
TEST_F(DMSBundlerTest, AnUnreadableFirstRowIsDroppedNotStalledOn) {
    startOffline();
    auto h = header("a");
    storeRaw(h, "a", kUploadT0);
    storeRaw(h, "b", kUploadT0);
    onWorker([] {
        plat::Error error;
        ASSERT_TRUE(controller().database()->sqliteStore()->executeSQL(
            "UPDATE raw_events SET data = x'ffffffff' WHERE rowid = (SELECT MIN(rowid) FROM raw_events)", &error));
    });
    EXPECT_EQ(bundleAll(), (Names{{"b"}}));
    EXPECT_EQ(countOf(23109), 1u);
    EXPECT_TRUE(storedRawEvents().empty());
}

TEST_F(DMSBundlerTest, BlacklistedEventsAreRemovedAndAllRejectedConsumesTheRows) {
    useSettings({});
    std::shared_ptr<DMSRemoteConfig> config = DMSRemoteConfig::initWithAppID(dms::test::kEngineAppID, &configStorage);
    DMSMeasurementConfigFields fields;
    fields.appID = dms::test::kEngineAppID;
    fields.settings.emplace();
    fields.eventConfigs = {DMSEventConfigFields{"gone", true, std::nullopt, std::nullopt}};
    config->parseRemoteConfigFromMeasurementConfig(fields);
    DMSMeasurement::setRemoteConfigForTesting(config);
    startOffline();
    auto h = header("a");
    storeRaw(h, "gone", kUploadT0);
    storeRaw(h, "kept", kUploadT0);
    storeRaw(h, "gone", kUploadT0 + 3600);
    EXPECT_EQ(bundleAll(), (Names{{"kept"}}));
    EXPECT_EQ(countOf(23099), 2u);
    EXPECT_EQ(countOf(23100), 1u);
    EXPECT_TRUE(storedRawEvents().empty());
}

TEST_F(DMSBundlerTest, EngagementAddsUpInLifetimeEngagementAcrossBundles) {
    startOffline();
    auto h = header("a");
    storeRaw(h, "_e", kUploadT0, {{"_et", plat::Value(int64_t{250})}});
    storeRaw(h, "_e", kUploadT0, {{"_et", plat::Value(int64_t{0})}});
    bundleAll();
    storeRaw(h, "_e", kUploadT0 + 3600, {{"_et", plat::Value(int64_t{50})}});
    storeRaw(h, "_e", kUploadT0 + 3600);
    bundleAll();
    auto lte = onWorker([] {
        plat::Error error;
        return controller().database()->userAttributeWithName("_lte", &error);
    });
    ASSERT_TRUE(lte);
    // 1 from the first open, then 250, then 50; the event without "_et" adds nothing.
    EXPECT_EQ(lte->value().int64Value(), 301);
    EXPECT_EQ(countOf(23165), 1u);
    const auto bundles = queued();
    bool found = false;
    const auto attributes =
        NANOGetArray(bundles.back().bundle, B::kUserAttributes, &DMSPBUserAttribute::messageClass()).value_or(plat::Array{});
    for (const auto& attribute : attributes) {
        auto fields = DMSUserAttributeFieldsFromMessage(std::static_pointer_cast<NANOMessage>(attribute.asObject()));
        if (fields.name == "_lte") {
            EXPECT_EQ(fields.intValue, 301);
            found = true;
        }
    }
    EXPECT_TRUE(found);
}

TEST_F(DMSBundlerTest, BundlesCarryTheSequenceAndThePreviousBundlesTimes) {
    startOffline();
    auto h = header("a");
    storeRaw(h, "a", kUploadT0 + 10);
    storeRaw(h, "b", kUploadT0 + 3600 + 20);
    bundleAll();
    const auto bundles = queued();
    ASSERT_EQ(bundles.size(), firstBundles + 2);
    const auto& last = bundles.back().bundle;
    EXPECT_EQ(NANOGetInt32(last, B::kBundleSequentialIndex), static_cast<int32_t>(firstBundles + 2));
    EXPECT_EQ(NANOGetInt64(last, B::kPreviousBundleStartTimestampMillis), (kUploadT0 + 10) * 1000);
    EXPECT_EQ(NANOGetInt64(last, B::kPreviousBundleEndTimestampMillis), (kUploadT0 + 10) * 1000);
    EXPECT_EQ(NANOGetInt64(last, B::kStartTimestampMillis), (kUploadT0 + 3620) * 1000);
}

// ---- sampling ---------------------------------------------------------------------------------------------

class DMSSamplingTest : public DMSBundlerTest {
protected:
    void startSampling(const std::string& name, int rate, bool calendarDays = true) {
        std::shared_ptr<DMSRemoteConfig> config =
            DMSRemoteConfig::initWithAppID(dms::test::kEngineAppID, &configStorage);
        DMSMeasurementConfigFields fields;
        fields.appID = dms::test::kEngineAppID;
        fields.settings = std::vector<DMSConfigSetting>{
            {"measurement.event_sampling_enabled", std::string("1")},
            {"measurement.sampling.time_zone_offset_enabled", std::string(calendarDays ? "1" : "0")}};
        fields.eventConfigs = {DMSEventConfigFields{name, std::nullopt, std::nullopt, rate}};
        config->parseRemoteConfigFromMeasurementConfig(fields);
        DMSMeasurement::setRemoteConfigForTesting(config);
        plat::Random::seed(7);
        startOffline();
    }
    static DMSEventFields sampled(const std::string& name, double seconds, std::optional<int64_t> eid = {},
                                  std::optional<std::string> mainName = {}) {
        DMSEventFields event;
        event.name = name;
        event.timestampMillis = DMSMillisecondsFromSeconds(seconds);
        if (eid) {
            event.params.push_back(DMSEventParamFields{"_eid", std::nullopt, *eid, std::nullopt});
        }
        if (mainName) {
            event.params.push_back(DMSEventParamFields{"_en", *mainName, std::nullopt, std::nullopt});
        }
        return event;
    }
    static std::vector<DMSEventFields> sample(const std::vector<DMSEventFields>& events) {
        return onWorker([&] {
            plat::Error error;
            auto kept = controller().sampleEvents(events, &error);
            EXPECT_TRUE(kept);
            return kept.value_or(std::vector<DMSEventFields>{});
        });
    }
    // Makes the aggregates of a name exist, as bundling an earlier occurrence would.
    static void seen(const std::string& name) {
        onWorker([&] {
            plat::Error error;
            auto aggregates = DMSEventAggregates::initWithName(name, 1, 1, kUploadT0);
            controller().database()->updateEventAggregates(&*aggregates, &error);
        });
    }
};

TEST_F(DMSSamplingTest, AboutOneInNIsKeptMarkedWithItsRateAndTheFirstOfADayIsExempt) {
    startSampling("tap", 4);
    seen("tap");
    std::vector<DMSEventFields> events;
    for (int i = 0; i < 400; ++i) {
        events.push_back(sampled("tap", kUploadT0 + i));
    }
    events.push_back(sampled("other", kUploadT0));
    const auto kept = sample(events);
    ASSERT_FALSE(kept.empty());
    EXPECT_EQ(kept.back().name, "other");
    EXPECT_FALSE(dms::test::uploadEventInt(kept.back(), "_sr"));
    size_t taps = 0;
    size_t exempt = 0;
    for (const auto& event : kept) {
        if (event.name == "tap") {
            ++taps;
            EXPECT_EQ(dms::test::uploadEventInt(event, "_sr"), 4);
            exempt += dms::test::uploadEventInt(event, "_efs").has_value();
        }
    }
    // 1/4 of 400 with a seeded source: well inside 60..140.
    EXPECT_GT(taps, 60u);
    EXPECT_LT(taps, 140u);
    // The first event of the day stays even if the roll failed; later ones are not exempt.
    EXPECT_LE(exempt, 1u);
    // The memory survives in the aggregates: the next bundle on the same day gets no exemption.
    const auto later = sample({sampled("tap", kUploadT0 + 500)});
    for (const auto& event : later) {
        EXPECT_FALSE(dms::test::uploadEventInt(event, "_efs"));
    }
}

// A rate no roll passes (seeded) shows the exemption alone: the first occurrence of each account day stays.
TEST_F(DMSSamplingTest, CalendarDaysExemptTheFirstOccurrenceOfEachDay) {
    startSampling("tap", 65535, true);
    seen("tap");
    auto first = sample({sampled("tap", kUploadT0)});
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(dms::test::uploadEventInt(first[0], "_efs"), 1);
    EXPECT_EQ(dms::test::uploadEventInt(first[0], "_sr"), 65535);
    EXPECT_TRUE(sample({sampled("tap", kUploadT0 + 3600)}).empty());
    // 14 h later is the next UTC day.
    auto nextDay = sample({sampled("tap", kUploadT0 + 14 * 3600 + 1)});
    ASSERT_EQ(nextDay.size(), 1u);
    EXPECT_EQ(dms::test::uploadEventInt(nextDay[0], "_efs"), 1);
}

TEST_F(DMSSamplingTest, RollingWindowExemptsOnlyAfterAFullDay) {
    startSampling("tap", 65535, false);
    seen("tap");
    EXPECT_EQ(sample({sampled("tap", kUploadT0)}).size(), 1u);
    EXPECT_TRUE(sample({sampled("tap", kUploadT0 + 14 * 3600 + 1)}).empty());
    EXPECT_EQ(sample({sampled("tap", kUploadT0 + 86400)}).size(), 1u);
}

TEST_F(DMSSamplingTest, AComplexEventSharesItsMainEventsFate) {
    startSampling("buy", 65535);
    seen("buy");
    // The first "buy" of the day is exempt; the second one is dropped, and so is its extra-parameter part.
    const auto kept = sample({
        sampled("buy", kUploadT0, 6),
        sampled("_ep", kUploadT0, 6, std::string("buy")),
        sampled("buy", kUploadT0 + 1, 7),
        sampled("_ep", kUploadT0 + 1, 7, std::string("buy")),
        sampled("_ep", kUploadT0 + 1, 8, std::string("buy")),
        sampled("_ep", kUploadT0 + 1, 9),
    });
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(kept[0].name, "buy");
    EXPECT_EQ(dms::test::uploadEventInt(kept[1], "_eid"), 6);
    EXPECT_EQ(dms::test::uploadEventInt(kept[1], "_sr"), 65535);
    EXPECT_EQ(dms::test::uploadEventInt(kept[1], "_efs"), 1);
    // "_eid" 8 belongs to another complex event: it stays.
    EXPECT_EQ(dms::test::uploadEventInt(kept[2], "_eid"), 8);
    // "_eid" 9 names no main event.
    EXPECT_EQ(countOf(23160), 1u);
}

TEST_F(DMSSamplingTest, ARateOfOneNeverDropsAndIsReportedInvalid) {
    startSampling("tap", 1);
    seen("tap");
    EXPECT_EQ(sample({sampled("tap", kUploadT0), sampled("tap", kUploadT0 + 1)}).size(), 2u);
    EXPECT_GE(countOf(23154), 1u);
}

TEST_F(DMSSamplingTest, ABundleWhoseEventsAreAllDroppedIsNotQueued) {
    startSampling("tap", 65535);
    auto h = header("a");
    storeRaw(h, "tap", kUploadT0 + 10);
    bundleAll();
    storeRaw(h, "tap", kUploadT0 + 20);
    const auto before = queued().size();
    onWorker([] { EXPECT_TRUE(controller().bundleRawEvents()); });
    EXPECT_EQ(queued().size(), before);
    EXPECT_EQ(countOf(23159), 1u);
    EXPECT_TRUE(storedRawEvents().empty());
}

} // namespace
