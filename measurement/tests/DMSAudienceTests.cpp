// Audience evaluation and definitions against a real database: how results move (once true, dynamic and
// sequence times, complex events), what goes into bundles, independent result bits for every filter ID,
// nothing saved by a failing call, and the validation and replacement of downloaded definitions.

#include "measurement/audiences/DMSAudience.hpp"
#include "measurement/audiences/DMSAudienceResultData.hpp"
#include "measurement/storage/DMSDatabase.hpp"
#include "measurement/storage/DMSValue.hpp"
#include "measurement/tests/AudienceTestMessages.hpp"
#include "measurement/tests/MeasurementEngineFixture.hpp"
#include "platform/dispatch/Backend.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>

namespace {

using namespace dms::test;

class DMSAudienceTest : public EngineFixture {
protected:
    void SetUp() override {
        plat::Virtual::setWall(1700000000);
        database = DMSDatabase::initWithDatabaseName(DMSDatabase::kDatabaseName, nullptr);
        ASSERT_TRUE(database);
        audience = DMSAudience::initWithDatabase(database.get());
    }

    void storeEventFilter(int32_t audienceID, const std::shared_ptr<DMSPBEventFilter>& filter) {
        ASSERT_TRUE(database->updateEventFilters(
            {DMSEventFilter(audienceID, NANOGetInt32(filter, DMSPBEventFilter::kFilterID),
                            *NANOGetString(filter, DMSPBEventFilter::kEventName), *filter->protoBuffer())},
            nullptr));
    }
    void storePropertyFilter(int32_t audienceID, const std::shared_ptr<DMSPBPropertyFilter>& filter) {
        ASSERT_TRUE(database->updatePropertyFilters(
            {DMSPropertyFilter(audienceID, NANOGetInt32(filter, DMSPBPropertyFilter::kFilterID),
                               *NANOGetString(filter, DMSPBPropertyFilter::kPropertyName), *filter->protoBuffer())},
            nullptr));
    }
    DMSEvent event(const std::string& name, plat::Dictionary parameters, double timestamp = 1700000000) {
        auto made = DMSEvent::initWithOrigin("app", false, name, timestamp, 0, parameters);
        EXPECT_TRUE(made);
        return *made;
    }
    bool evaluate(const DMSEvent& e, DMSSequenceTimestampsCacheMap& caches) {
        auto aggregates = DMSEventAggregates::initWithName(e.name(), 1, 1, 0);
        return audience->evaluateFiltersForEvent(e, &*aggregates, caches);
    }
    bool evaluate(const DMSEvent& e) {
        DMSSequenceTimestampsCacheMap caches;
        return evaluate(e, caches);
    }
    bool setProperty(const std::string& name, DMSValue value, double timestamp = 1700000000) {
        auto attribute = DMSUserAttribute::initWithOrigin("app", name, value, timestamp);
        EXPECT_TRUE(attribute);
        return audience->evaluateFiltersForUserProperty(*attribute);
    }
    std::optional<DMSFilterResult> result(int32_t audienceID) {
        return database->filterResultForAudienceID(audienceID, nullptr);
    }
    bool isTrue(int32_t audienceID, int32_t filterID) { return DMSAudience::isFilterResult(result(audienceID), filterID); }
    bool evaluated(int32_t audienceID, int32_t filterID) {
        auto stored = result(audienceID);
        auto data = stored ? DMSAudienceResultData::decode(stored->currentResults()) : std::nullopt;
        return data && DMSAudienceResultData::bit(data->status, filterID);
    }
    std::shared_ptr<DMSPBResultData> currentData(int32_t audienceID) {
        auto stored = result(audienceID);
        return stored ? DMSPBResultData::initWithBuffer(stored->currentResults()) : nullptr;
    }
    void useDynamicFilters(bool on) {
        useSettings({DMSConfigSetting{"measurement.audience.dynamic_filters", std::string(on ? "1" : "0")}});
    }
    bool logged(int64_t code) const { return countOf(code) > 0; }

    std::unique_ptr<DMSDatabase> database;
    std::unique_ptr<DMSAudience> audience;
};

std::shared_ptr<DMSPBEventFilter> audienceTestPurchaseOver10(int32_t filterID, bool dynamic = false,
                                                             bool sequence = false) {
    return eventFilter(filterID, "purchase", {valueFilter(numberFilter(2, "10"), nullptr, "value")}, nullptr, dynamic,
                       sequence);
}

plat::Dictionary audienceTestValue(int64_t value) {
    return plat::Dictionary{{"value", plat::Value(value)}};
}

// ---- evaluation --------------------------------------------------------------------------------------------------

TEST_F(DMSAudienceTest, EventFilterOnceTrueStaysTrueAndNoneLeavesTheRecordAlone) {
    for (bool dynamic : {false, true}) {
        SCOPED_TRACE(dynamic ? "dynamic filter" : "static filter");
        const int32_t audienceID = dynamic ? 2 : 1;
        storeEventFilter(audienceID, audienceTestPurchaseOver10(0, dynamic));
        ASSERT_TRUE(evaluate(event("purchase", audienceTestValue(5))));
        EXPECT_TRUE(evaluated(audienceID, 0));
        EXPECT_FALSE(isTrue(audienceID, 0));
        ASSERT_TRUE(evaluate(event("purchase", audienceTestValue(20))));
        EXPECT_TRUE(isTrue(audienceID, 0));
        ASSERT_TRUE(evaluate(event("purchase", audienceTestValue(5))));
        EXPECT_TRUE(isTrue(audienceID, 0));
        const plat::Data before = result(audienceID)->currentResults();
        ASSERT_TRUE(evaluate(event("purchase", plat::Dictionary{{"other", plat::Value(int64_t{1})}})));
        EXPECT_EQ(result(audienceID)->currentResults(), before);
    }
}

// Decoded records and filters are kept between events: a record or a filter rewritten in the database in
// between must be taken as it now stands.
TEST_F(DMSAudienceTest, RecordsAndFiltersRewrittenBetweenEventsAreReadAnew) {
    useDynamicFilters(false);
    storeEventFilter(1, audienceTestPurchaseOver10(0));
    ASSERT_TRUE(evaluate(event("purchase", audienceTestValue(20))));
    ASSERT_TRUE(isTrue(1, 0));
    ASSERT_TRUE(database->updateFilterResults(
        {DMSAudience::updatedFilterResultWithFilterID(0, 1, std::nullopt, false, std::nullopt, std::nullopt)}, nullptr));
    ASSERT_FALSE(isTrue(1, 0));
    // Known false now, so evaluated again; still true for 20.
    ASSERT_TRUE(evaluate(event("purchase", audienceTestValue(20))));
    EXPECT_TRUE(isTrue(1, 0));

    // The same audience and filter ID with a higher threshold.
    storeEventFilter(2, eventFilter(0, "purchase", {valueFilter(numberFilter(2, "100"), nullptr, "value")}));
    ASSERT_TRUE(evaluate(event("purchase", audienceTestValue(50))));
    EXPECT_FALSE(isTrue(2, 0));
    storeEventFilter(2, audienceTestPurchaseOver10(0));
    ASSERT_TRUE(evaluate(event("purchase", audienceTestValue(50))));
    EXPECT_TRUE(isTrue(2, 0));
}

// Filters are kept between events while their tables stand still; each way the stored definitions change
// must be seen by the very next event or property, also a name first seen with no filters at all.
TEST_F(DMSAudienceTest, KeptFiltersGiveWayToNewDefinitionsARolledBackRewriteAndAReset) {
    useDynamicFilters(false);
    storeEventFilter(1, audienceTestPurchaseOver10(0));
    ASSERT_TRUE(evaluate(event("purchase", audienceTestValue(20))));
    ASSERT_TRUE(isTrue(1, 0));
    ASSERT_TRUE(setProperty("age", DMSValue::initWithInt64(30)));
    ASSERT_FALSE(result(3));

    // A new configuration.
    plat::Array audiences{
        audienceObject(audienceMessage(2, {eventFilter(0, "purchase", {valueFilter(numberFilter(2, "100"), nullptr,
                                                                                   "value")})})),
        audienceObject(audienceMessage(3, {}, {propertyFilter(0, "age", valueFilter(numberFilter(2, "17")))})),
    };
    ASSERT_TRUE(database->performTransaction([&] { return audience->updateAudiences(audiences); }));
    ASSERT_TRUE(evaluate(event("purchase", audienceTestValue(50))));
    EXPECT_TRUE(evaluated(2, 0));
    EXPECT_FALSE(isTrue(2, 0));
    ASSERT_TRUE(setProperty("age", DMSValue::initWithInt64(30)));
    EXPECT_TRUE(isTrue(3, 0));

    // A rewrite that rolls back: seen inside its transaction, gone after it.
    EXPECT_FALSE(database->performTransaction([&] {
        const auto lower = audienceTestPurchaseOver10(0);
        EXPECT_TRUE(database->updateEventFilters(
            {DMSEventFilter(2, 0, "purchase", *lower->protoBuffer())}, nullptr));
        EXPECT_TRUE(evaluate(event("purchase", audienceTestValue(50))));
        EXPECT_TRUE(isTrue(2, 0));
        return false;
    }));
    ASSERT_FALSE(isTrue(2, 0));
    ASSERT_TRUE(evaluate(event("purchase", audienceTestValue(50))));
    EXPECT_FALSE(isTrue(2, 0));

    // A rewrite on the database handle itself (what a second writer of the file would look like to the store).
    const auto lower = audienceTestPurchaseOver10(0);
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(database->sqliteStore()->sqliteHandle(),
                                 "UPDATE event_filters SET data = ? WHERE audience_id = 2", -1, &statement, nullptr),
              SQLITE_OK);
    const plat::Data bytes = *lower->protoBuffer();
    sqlite3_bind_blob(statement, 1, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
    EXPECT_EQ(sqlite3_step(statement), SQLITE_DONE);
    sqlite3_finalize(statement);
    ASSERT_TRUE(evaluate(event("purchase", audienceTestValue(50))));
    EXPECT_TRUE(isTrue(2, 0));

    // The app's data reset: no filters are left to evaluate, so no record comes back.
    database->reset();
    ASSERT_TRUE(evaluate(event("purchase", audienceTestValue(500))));
    ASSERT_TRUE(setProperty("age", DMSValue::initWithInt64(30)));
    EXPECT_FALSE(result(1));
    EXPECT_FALSE(result(2));
    EXPECT_FALSE(result(3));
}

TEST_F(DMSAudienceTest, PropertyFilterFollowsTheLatestValueOnlyWhileDynamicFiltersAreOn) {
    auto adult = valueFilter(numberFilter(2, "17"));
    for (bool on : {true, false}) {
        SCOPED_TRACE(on ? "dynamic filters on" : "dynamic filters off");
        useDynamicFilters(on);
        const int32_t audienceID = on ? 1 : 2;
        storePropertyFilter(audienceID, propertyFilter(0, on ? "age" : "height", adult, true));
        const std::string name = on ? "age" : "height";
        ASSERT_TRUE(setProperty(name, DMSValue::initWithInt64(30)));
        EXPECT_TRUE(isTrue(audienceID, 0));
        ASSERT_TRUE(setProperty(name, DMSValue::initWithInt64(10), 1700000100));
        EXPECT_EQ(isTrue(audienceID, 0), !on);
    }
}

TEST_F(DMSAudienceTest, DynamicTimesOnlyMoveForward) {
    storeEventFilter(1, audienceTestPurchaseOver10(3, true));
    ASSERT_TRUE(evaluate(event("purchase", audienceTestValue(20), 2000.75)));
    ASSERT_TRUE(evaluate(event("purchase", audienceTestValue(20), 1000)));
    EXPECT_TRUE(logged(6037));
    auto data = DMSAudienceResultData::decode(result(1)->currentResults());
    ASSERT_TRUE(data);
    EXPECT_EQ(data->dynamicTimestamps, (std::map<int32_t, double>{{3, 2000}}));
    ASSERT_TRUE(evaluate(event("purchase", audienceTestValue(20), 3000)));
    data = DMSAudienceResultData::decode(result(1)->currentResults());
    EXPECT_EQ(data->dynamicTimestamps, (std::map<int32_t, double>{{3, 3000}}));
}

TEST_F(DMSAudienceTest, SequenceTimesBelongToOneBundle) {
    storeEventFilter(1, audienceTestPurchaseOver10(1, false, true));
    auto sequenceTimes = [&] {
        std::vector<int64_t> times;
        auto entries = NANOGetArray(currentData(1), DMSPBResultData::kSequenceFilterTimestamps,
                                    &DMSPBSequenceFilterResultTimestamp::messageClass());
        for (const auto& entry : entries.value_or(plat::Array())) {
            auto* message = dynamic_cast<DMSPBSequenceFilterResultTimestamp*>(entry.ifObject());
            for (const auto& time : NANOGetArray(message, DMSPBSequenceFilterResultTimestamp::kEvalTimestamps).value_or(plat::Array())) {
                times.push_back(time.integerValue());
            }
        }
        return times;
    };
    DMSSequenceTimestampsCacheMap first;
    ASSERT_TRUE(evaluate(event("purchase", audienceTestValue(20), 200.5), first));
    ASSERT_TRUE(evaluate(event("purchase", audienceTestValue(20), 100), first));
    ASSERT_TRUE(evaluate(event("purchase", audienceTestValue(1), 150), first));
    EXPECT_EQ(sequenceTimes(), (std::vector<int64_t>{100, 200}));
    DMSSequenceTimestampsCacheMap second;
    ASSERT_TRUE(evaluate(event("purchase", audienceTestValue(20), 300), second));
    EXPECT_EQ(sequenceTimes(), (std::vector<int64_t>{300}));
}

TEST_F(DMSAudienceTest, ComplexEventsAreReassembledFromTheirExtraParameterEvents) {
    storeEventFilter(1, audienceTestPurchaseOver10(0));
    const plat::Value id(int64_t{9});
    ASSERT_TRUE(evaluate(event("purchase", plat::Dictionary{{"_eid", id}, {"_epc", plat::Value(int64_t{2})}})));
    EXPECT_FALSE(evaluated(1, 0)); // the value comes with a child
    auto child = [&](int64_t value) {
        return event("_ep", plat::Dictionary{{"_eid", id}, {"_en", plat::Value("purchase")}, {"value", plat::Value(value)}});
    };
    ASSERT_TRUE(evaluate(child(5)));
    EXPECT_TRUE(evaluated(1, 0));
    EXPECT_FALSE(isTrue(1, 0));
    EXPECT_EQ(database->mainEventAndChildCountPairWithEventID(9, nullptr)->childrenToProcess, 1);
    ASSERT_TRUE(evaluate(child(20)));
    EXPECT_TRUE(isTrue(1, 0));
    EXPECT_FALSE(database->mainEventAndChildCountPairWithEventID(9, nullptr));
    monitor.clear();
    EXPECT_TRUE(evaluate(child(20)));
    EXPECT_TRUE(logged(6031));
    EXPECT_FALSE(evaluate(event("_ep", plat::Dictionary{{"_eid", id}})));
    EXPECT_TRUE(logged(6025));
}

TEST_F(DMSAudienceTest, FilterIDsAcrossTheFirstWordKeepTheirOwnBits) {
    for (int32_t filterID : {0, 64, 99}) {
        storeEventFilter(1, eventFilter(filterID, filterID == 0 ? "refund" : "purchase"));
    }
    ASSERT_TRUE(evaluate(event("purchase", {})));
    EXPECT_TRUE(isTrue(1, 64));
    EXPECT_TRUE(isTrue(1, 99));
    EXPECT_FALSE(evaluated(1, 0));
    EXPECT_FALSE(isTrue(1, 35));
    ASSERT_TRUE(evaluate(event("refund", {})));
    EXPECT_TRUE(isTrue(1, 0));
    auto data = DMSAudienceResultData::decode(result(1)->currentResults());
    EXPECT_EQ(data->status, (std::vector<uint64_t>{1, (uint64_t{1} << 0) | (uint64_t{1} << 35)}));

    // A record with only the first word answers for the higher IDs as not evaluated.
    auto single = DMSAudience::updatedFilterResultWithFilterID(3, 5, std::nullopt, true, std::nullopt, std::nullopt);
    EXPECT_EQ(DMSAudienceResultData::decode(single.currentResults())->status, (std::vector<uint64_t>{8}));
    EXPECT_FALSE(DMSAudience::isFilterResult(single, 67));
}

TEST_F(DMSAudienceTest, ResultsForBundlingSendOnlyEvaluatedRecordsAndLeaveOutEqualPreviousResults) {
    storeEventFilter(1, audienceTestPurchaseOver10(0));
    storeEventFilter(1, eventFilter(1, "refund"));
    ASSERT_TRUE(evaluate(event("purchase", audienceTestValue(20))));
    // A record whose first status word is 0 never travels.
    auto zero = DMSAudienceResultData::encode({0}, {0}, std::nullopt, std::nullopt);
    ASSERT_TRUE(database->updateFilterResults({DMSFilterResult(2, zero, std::nullopt)}, nullptr));

    auto leaves = [&] {
        plat::Array results;
        EXPECT_TRUE(audience->resultsForBundling(&results));
        std::vector<std::shared_ptr<DMSPBAudienceLeafFilterResult>> out;
        for (const auto& value : results) {
            out.push_back(std::dynamic_pointer_cast<DMSPBAudienceLeafFilterResult>(value.asObject()));
        }
        return out;
    };
    auto first = leaves();
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(NANOGetInt32(first[0], DMSPBAudienceLeafFilterResult::kAudienceID), 1);
    EXPECT_TRUE(NANOGetBool(first[0], DMSPBAudienceLeafFilterResult::kNewAudience));
    EXPECT_FALSE(NANOHasField(first[0], DMSPBAudienceLeafFilterResult::kPreviousResults));
    EXPECT_TRUE(logged(6021));

    auto second = leaves();
    ASSERT_EQ(second.size(), 1u);
    EXPECT_FALSE(NANOGetBool(second[0], DMSPBAudienceLeafFilterResult::kNewAudience));
    EXPECT_FALSE(NANOHasField(second[0], DMSPBAudienceLeafFilterResult::kPreviousResults));

    ASSERT_TRUE(evaluate(event("refund", {})));
    auto third = leaves();
    ASSERT_EQ(third.size(), 1u);
    ASSERT_TRUE(NANOHasField(third[0], DMSPBAudienceLeafFilterResult::kPreviousResults));
    auto previous = NANOGetMessage<DMSPBResultData>(third[0], DMSPBAudienceLeafFilterResult::kPreviousResults);
    auto current = NANOGetMessage<DMSPBResultData>(third[0], DMSPBAudienceLeafFilterResult::kCurrentResults);
    EXPECT_EQ(DMSAudienceResultData::words(previous, DMSPBResultData::kStatus), (std::vector<uint64_t>{1}));
    EXPECT_EQ(DMSAudienceResultData::words(current, DMSPBResultData::kStatus), (std::vector<uint64_t>{3}));
}

TEST_F(DMSAudienceTest, AnEvaluationThatFailsPartWaySavesNothing) {
    storeEventFilter(1, audienceTestPurchaseOver10(0));
    storeEventFilter(2, audienceTestPurchaseOver10(0));
    ASSERT_EQ(sqlite3_exec(database->sqliteStore()->sqliteHandle(),
                           "CREATE TRIGGER refuse_second BEFORE INSERT ON audience_filter_values WHEN NEW.audience_id = 2 "
                           "BEGIN SELECT RAISE(ABORT, 'refused'); END",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    EXPECT_FALSE(evaluate(event("purchase", audienceTestValue(20))));
    EXPECT_TRUE(logged(6003));
    EXPECT_FALSE(result(1));
    EXPECT_FALSE(result(2));
}

// ---- definitions ------------------------------------------------------------------------------------------------

TEST_F(DMSAudienceTest, ValidationRefusesWithTheCodeAndDescriptionOfTheFirstFailure) {
    auto number = valueFilter(numberFilter(2, "1"));
    auto ok = eventFilter(0, "purchase");
    auto manyParameters = eventFilter(0, "purchase",
                                      std::vector<std::shared_ptr<DMSPBFilter>>(
                                          26, valueFilter(numberFilter(2, "1"), nullptr, "value")));
    auto floatCount = numberFilter(2, "1");
    NANOSetBool(floatCount, DMSPBNumberFilter::kIsFloat, true);
    auto noID = eventFilter(0, "purchase");
    NANOClearField(noID, DMSPBEventFilter::kFilterID);
    std::vector<std::shared_ptr<DMSPBEventFilter>> eleven;
    for (int32_t i = 0; i < 11; ++i) {
        eleven.push_back(eventFilter(i % 10, "e" + std::to_string(i)));
    }
    const struct {
        const char* label;
        std::shared_ptr<DMSPBAudience> audience;
        int64_t code;
        const char* description;
    } cases[] = {
        {"no ID", audienceMessage(std::nullopt, {ok}), 9, "Missing audience ID"},
        {"negative ID", audienceMessage(-1, {ok}), 9, "Audience ID is negative"},
        {"used ID", audienceMessage(7, {ok}), 9, "Duplicate audience ID"},
        {"zero filters", audienceMessage(1, {}), 9, "Audience filter count out of range"},
        {"eleven filters", audienceMessage(1, eleven), 9, "Audience filter count out of range"},
        {"event name missing", audienceMessage(1, {eventFilter(0, "")}), 10, "Event filter missing event name"},
        {"event filter ID missing", audienceMessage(1, {noID}), 10, "Missing event filter ID"},
        {"filter ID 10", audienceMessage(1, {eventFilter(10, "purchase")}), 10, "Event filter ID is out of range"},
        {"two event filters with one ID", audienceMessage(1, {ok, eventFilter(0, "refund")}), 10,
         "Duplicate event filter ID"},
        {"float count", audienceMessage(1, {eventFilter(0, "purchase", {}, floatCount)}), 10,
         "Event filter has float event count filter"},
        {"invalid count", audienceMessage(1, {eventFilter(0, "purchase", {}, numberFilter(0, "1"))}), 10,
         "Event filter has invalid event count filter"},
        {"26 parameter filters", audienceMessage(1, {manyParameters}), 10,
         "Event filter parameters filters count out of range"},
        {"parameter without name", audienceMessage(1, {eventFilter(0, "purchase", {number})}), 10,
         "Event filter missing parameter name"},
        {"parameter with both filters",
         audienceMessage(1, {eventFilter(0, "purchase", {valueFilter(numberFilter(2, "1"), stringFilter(5, "a"), "v")})}),
         10, "Event filter must have exactly one of number or string filter"},
        {"parameter with bad number", audienceMessage(1, {eventFilter(0, "purchase", {valueFilter(numberFilter(2, "x"), nullptr, "v")})}),
         10, "Event filter has invalid number filter"},
        {"parameter with bad pattern",
         audienceMessage(1, {eventFilter(0, "purchase", {valueFilter(nullptr, stringFilter(1, "("), "v")})}), 10,
         "Event filter has invalid string filter"},
        {"event and property filter with one ID", audienceMessage(1, {ok}, {propertyFilter(0, "age", number)}), 11,
         "Duplicate property filter ID"},
        {"property name missing", audienceMessage(1, {}, {propertyFilter(0, "", number)}), 11,
         "Property filter missing property name"},
        {"property filter ID out of range", audienceMessage(1, {}, {propertyFilter(12, "age", number)}), 11,
         "Property filter ID is out of range"},
        {"property without filter", audienceMessage(1, {}, {propertyFilter(0, "age", nullptr)}), 11,
         "Property filter has no filter"},
        {"property with bad number", audienceMessage(1, {}, {propertyFilter(0, "age", valueFilter(numberFilter(4, "1")))}),
         11, "Property filter has invalid number filter"},
        {"property with bad string", audienceMessage(1, {}, {propertyFilter(0, "age", valueFilter(nullptr, stringFilter(0, "a")))}),
         11, "Property filter has invalid string filter"},
    };
    for (const auto& c : cases) {
        plat::Error error;
        EXPECT_FALSE(DMSAudience::isValidAudienceProto(c.audience, {7}, &error)) << c.label;
        EXPECT_EQ(error.code, c.code) << c.label;
        EXPECT_EQ(error.localizedDescription(), c.description) << c.label;
    }
    plat::Error error;
    EXPECT_TRUE(DMSAudience::isValidAudienceProto(
        audienceMessage(1, {audienceTestPurchaseOver10(9)}, {propertyFilter(3, "age", number)}), {7}, &error));
}

TEST_F(DMSAudienceTest, UpdatingAudiencesReplacesFiltersUnderInternalNamesAndEvaluatesStoredProperties) {
    storeEventFilter(40, eventFilter(0, "old_event"));
    auto tier = DMSUserAttribute::initWithOrigin("app", "tier", DMSValue::initWithString("gold"), 1700000000);
    ASSERT_TRUE(database->updateUserAttribute(&*tier, nullptr));

    plat::Array audiences{
        audienceObject(audienceMessage(1, {eventFilter(0, "in_app_purchase")})),
        audienceObject(audienceMessage(2, {}, {propertyFilter(0, "tier", valueFilter(nullptr, stringFilter(5, "GOLD")))})),
        audienceObject(audienceMessage(1, {eventFilter(1, "refund")})), // a second audience 1: refused
        audienceObject(audienceMessage(3, {eventFilter(0, "refund")})),
    };
    ASSERT_TRUE(audience->updateAudiences(audiences));
    EXPECT_EQ(countOf(6009), 1u);
    auto ids = database->allAudienceIDs(nullptr);
    ASSERT_TRUE(ids);
    std::sort(ids->begin(), ids->end());
    EXPECT_EQ(*ids, (std::vector<int32_t>{1, 2, 3}));
    EXPECT_TRUE(database->eventFiltersForEventName("old_event", nullptr)->empty());
    EXPECT_EQ(database->eventFiltersForEventName("_iap", nullptr)->size(), 1u);
    EXPECT_TRUE(isTrue(2, 0)); // the stored property, evaluated against the new filter

    ASSERT_TRUE(evaluate(event("_iap", {})));
    EXPECT_TRUE(isTrue(1, 0));
}

TEST_F(DMSAudienceTest, TooManyAudiencesChangeNothingAndSucceed) {
    storeEventFilter(40, eventFilter(0, "old_event"));
    plat::Array audiences;
    for (int32_t i = 0; i < 51; ++i) {
        audiences.push_back(audienceObject(audienceMessage(i, {eventFilter(0, "purchase")})));
    }
    EXPECT_TRUE(audience->updateAudiences(audiences));
    EXPECT_TRUE(logged(6008));
    EXPECT_EQ(*database->allAudienceIDs(nullptr), (std::vector<int32_t>{40}));
}

TEST_F(DMSAudienceTest, StaleResultsArePrunedOnlyAboveTheLimitAndOnlyForVanishedAudiences) {
    storeEventFilter(1000, eventFilter(0, "old_event")); // defined before the update
    auto someResult = DMSAudienceResultData::encode({1}, {1}, std::nullopt, std::nullopt);
    std::vector<DMSFilterResult> results;
    for (int32_t i = 0; i < 200; ++i) {
        results.emplace_back(i, someResult, std::nullopt);
    }
    ASSERT_TRUE(database->updateFilterResults(results, nullptr));
    EXPECT_TRUE(audience->maybeDeleteStaleFilterResults({}));
    EXPECT_EQ(database->allFilterResults(nullptr)->size(), 200u);

    ASSERT_TRUE(database->updateFilterResults({DMSFilterResult(1000, someResult, std::nullopt)}, nullptr));
    EXPECT_TRUE(audience->maybeDeleteStaleFilterResults({5}));
    EXPECT_TRUE(logged(6016));
    auto kept = database->allFilterResults(nullptr);
    ASSERT_TRUE(kept);
    std::vector<int32_t> ids;
    for (const auto& [id, record] : *kept) {
        ids.push_back(id);
    }
    EXPECT_EQ(ids, (std::vector<int32_t>{5, 1000}));
}

} // namespace
