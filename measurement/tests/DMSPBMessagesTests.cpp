// The measurement wire messages: every slot table against its generated descriptor, exact bytes of the
// stored and uploaded forms, what decoding keeps (unnamed fields, the first of two strings, exact array sizes),
// what it refuses (malformed elements, oversized strings), and hostile bytes through every decoder.

#include "measurement/messages/DMSPBMessages.hpp"
#include "measurement/tests/DMSPBMessagesFuzz.hpp"
#include "measurement/storage/DMSEvent.hpp"
#include "measurement/storage/DMSValue.hpp"
#include "platform/foundation/Console.hpp"
#include "testing/MutatedInputs.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

plat::Data dmsPbHex(const std::string& text) {
    plat::Data out;
    for (std::size_t i = 0; i + 1 < text.size();) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return out;
}

std::string dmsPbHexOf(const std::optional<plat::Data>& encoded) {
    if (!encoded) {
        return "(no encoding)";
    }
    const plat::Data& data = *encoded;
    std::string out;
    char byte[4];
    for (uint8_t b : data) {
        std::snprintf(byte, sizeof byte, out.empty() ? "%02x" : " %02x", b);
        out += byte;
    }
    return out;
}

plat::Value dmsPbObject(const std::shared_ptr<NANOMessage>& message) {
    return plat::Value(plat::rt::ObjectPtr(message));
}

// The stored form of the event "foo" of origin "app" at 1.5 s.
std::shared_ptr<DMSPBEvent> dmsPbFooEvent() {
    auto origin = DMSPBEventParam::init();
    NANOSetString(origin, DMSPBEventParam::kName, plat::Value("_o"));
    NANOSetString(origin, DMSPBEventParam::kStringValue, plat::Value("app"));
    auto event = DMSPBEvent::init();
    NANOSetArray(event, DMSPBEvent::kParams, plat::Array{dmsPbObject(origin)});
    NANOSetString(event, DMSPBEvent::kName, plat::Value("foo"));
    NANOSetInt64(event, DMSPBEvent::kTimestampMillis, 1500);
    return event;
}

// A length-delimited field of `tag` holding `payload`.
plat::Data dmsPbField(uint32_t tag, const plat::Data& payload) {
    plat::Data out{static_cast<uint8_t>(tag << 3 | 2)};
    std::size_t v = payload.size();
    while (v >= 0x80) {
        out.push_back(static_cast<uint8_t>(v | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<uint8_t>(v));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

} // namespace

TEST(DMSPBMessagesTest, EverySlotTableAgreesWithItsGeneratedDescriptor) {
    ASSERT_EQ(measurementMessageDescriptors().size(), 18u);
    for (const NANOMessageDescriptor* descriptor : measurementMessageDescriptors()) {
        const auto problems = NANOCheckDescriptor(*descriptor);
        EXPECT_TRUE(problems.empty()) << descriptor->name << ": " << problems.front();
    }
    // The bundle's slots do not follow its tags: slot 6 is tag 26, slot 20 tag 27, the last slot tag 41.
    const NANOMessageDescriptor& bundle = DMSPBMeasurementBundle::messageDescriptor();
    ASSERT_EQ(bundle.slotCount, 37u);
    EXPECT_EQ(bundle.fields[6].tag, 26u);
    EXPECT_EQ(bundle.fields[20].tag, 27u);
    EXPECT_EQ(bundle.fields[36].tag, 41u);
    // The flag words the accessors check, as the wire types demand.
    const std::vector<uint32_t> event(DMSPBEvent::messageDescriptor().flags, DMSPBEvent::messageDescriptor().flags + 5);
    EXPECT_EQ(event, (std::vector<uint32_t>{0x4008, 0x2002, 0x202, 0x202, 0x82}));
    const auto* result = DMSPBResultData::messageDescriptor().flags;
    EXPECT_EQ(std::vector<uint32_t>(result, result + 4), (std::vector<uint32_t>{0x408, 0x408, 0x4008, 0x4008}));
    const auto* number = DMSPBNumberFilter::messageDescriptor().flags;
    EXPECT_EQ(std::vector<uint32_t>(number, number + 5),
              (std::vector<uint32_t>{0x42, 0x22, 0x2002, 0x2002, 0x2002}));
}

TEST(DMSPBMessagesTest, StoredFormsEncodeToTheirGoldenBytes) {
    auto event = dmsPbFooEvent();
    EXPECT_EQ(dmsPbHexOf(event->protoBuffer()), "0a 09 0a 02 5f 6f 12 03 61 70 70 12 03 66 6f 6f 18 dc 0b");
    // The raw-events form carries the name in its own column.
    NANOClearField(event, DMSPBEvent::kName);
    EXPECT_EQ(dmsPbHexOf(event->protoBuffer()), "0a 09 0a 02 5f 6f 12 03 61 70 70 18 dc 0b");

    auto attribute = DMSPBUserAttribute::init();
    NANOSetInt64(attribute, DMSPBUserAttribute::kIntValue, 7);
    NANOSetString(attribute, DMSPBUserAttribute::kName, plat::Value("u"));
    NANOSetInt64(attribute, DMSPBUserAttribute::kSetTimestampMillis, 1500);
    EXPECT_EQ(dmsPbHexOf(attribute->protoBuffer()), "08 dc 0b 12 01 75 20 07");

    // Negative 32-bit values take ten bytes; the bundle writes in tag order, so tag 26 (slot 6) comes after tag 7.
    auto bundle = DMSPBMeasurementBundle::init();
    NANOSetInt64(bundle, DMSPBMeasurementBundle::kPreviousBundleStartTimestampMillis, 2);
    NANOSetInt64(bundle, DMSPBMeasurementBundle::kPreviousBundleEndTimestampMillis, 3);
    NANOSetInt32(bundle, DMSPBMeasurementBundle::kProtocolVersion, -1);
    EXPECT_EQ(dmsPbHexOf(bundle->protoBuffer()), "08 ff ff ff ff ff ff ff ff ff 01 38 03 d0 01 02");

    // Nothing to write is an empty encoding, not a failure.
    auto empty = DMSPBResultData::init();
    auto bytes = empty->protoBuffer();
    ASSERT_TRUE(bytes);
    EXPECT_TRUE(bytes->empty());
    auto back = DMSPBResultData::initWithBuffer(plat::Data{});
    ASSERT_TRUE(back);
    EXPECT_TRUE(NANOGetArray(back, DMSPBResultData::kStatus)->empty());
}

TEST(DMSPBMessagesTest, DecodingKeepsWhatItCannotNameAndWritesIntegersUnpacked) {
    struct Case {
        const char* what;
        std::shared_ptr<NANOMessage> (*decode)(const plat::Data&);
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"packed status", [](const plat::Data& d) -> std::shared_ptr<NANOMessage> { return DMSPBResultData::initWithBuffer(d); },
         "0a 02 05 07", "08 05 08 07"},
        {"bundle tag 15 and 34",
         [](const plat::Data& d) -> std::shared_ptr<NANOMessage> { return DMSPBMeasurementBundle::initWithBuffer(d); },
         "78 09 92 02 01 7a", "78 09 92 02 01 7a"},
        {"event tag 5, param float",
         [](const plat::Data& d) -> std::shared_ptr<NANOMessage> { return DMSPBEvent::initWithBuffer(d); },
         "0a 05 25 00 00 80 3f 28 03", "0a 05 25 00 00 80 3f 28 03"},
        {"unknown tags skipped",
         [](const plat::Data& d) -> std::shared_ptr<NANOMessage> { return DMSPBSetting::initWithBuffer(d); },
         "0a 01 61 50 01 5a 01 78 12 01 62", "0a 01 61 12 01 62"},
        {"first of two strings",
         [](const plat::Data& d) -> std::shared_ptr<NANOMessage> { return DMSPBSetting::initWithBuffer(d); },
         "0a 01 61 0a 01 62", "0a 01 61"},
        {"packed timestamps",
         [](const plat::Data& d) -> std::shared_ptr<NANOMessage> {
             return DMSPBSequenceFilterResultTimestamp::initWithBuffer(d);
         },
         "08 01 12 03 01 02 03 10 04", "08 01 10 01 10 02 10 03 10 04"},
        {"nested results", [](const plat::Data& d) -> std::shared_ptr<NANOMessage> {
             return DMSPBAudienceLeafFilterResult::initWithBuffer(d);
         },
         "08 02 12 04 0a 02 05 07 20 01", "08 02 12 04 08 05 08 07 20 01"},
    };
    for (const Case& c : cases) {
        auto message = c.decode(dmsPbHex(c.in));
        ASSERT_TRUE(message) << c.what;
        EXPECT_EQ(dmsPbHexOf(message->protoBuffer()), c.out) << c.what;
    }

    auto results = DMSPBResultData::initWithBuffer(dmsPbHex("0a 02 05 07"));
    auto status = NANOGetArray(results, DMSPBResultData::kStatus);
    ASSERT_EQ(status->size(), 2u);
    EXPECT_EQ((*status)[0].asInt64(), 5);
    EXPECT_EQ((*status)[1].asInt64(), 7);

    // An absent nested message stays absent; a present one is read through its own class.
    auto leaf = DMSPBAudienceLeafFilterResult::initWithBuffer(dmsPbHex("08 02 12 04 0a 02 05 07 20 01"));
    EXPECT_FALSE(NANOHasField(leaf, DMSPBAudienceLeafFilterResult::kPreviousResults));
    auto current = NANOGetMessage<DMSPBResultData>(leaf, DMSPBAudienceLeafFilterResult::kCurrentResults);
    ASSERT_TRUE(current);
    EXPECT_EQ(NANOGetArray(current, DMSPBResultData::kStatus)->size(), 2u);
    EXPECT_TRUE(NANOGetBool(leaf, DMSPBAudienceLeafFilterResult::kNewAudience));
}

TEST(DMSPBMessagesTest, ABundleOfThreeHundredEventsDecodesIntoOneArrayOfThatSize) {
    auto bundle = DMSPBMeasurementBundle::init();
    plat::Array events;
    for (int i = 0; i < 300; ++i) {
        auto event = dmsPbFooEvent();
        NANOSetInt64(event, DMSPBEvent::kTimestampMillis, i);
        events.push_back(dmsPbObject(event));
    }
    NANOSetArray(bundle, DMSPBMeasurementBundle::kEvents, events);
    NANOSetString(bundle, DMSPBMeasurementBundle::kAppID, plat::Value("app"));
    auto batch = DMSPBMeasurementBatch::init();
    NANOSetArray(batch, DMSPBMeasurementBatch::kBundles, plat::Array{dmsPbObject(bundle)});

    auto back = DMSPBMeasurementBatch::initWithBuffer(*batch->protoBuffer());
    ASSERT_TRUE(back);
    auto bundles = NANOGetArray(back, DMSPBMeasurementBatch::kBundles, &DMSPBMeasurementBundle::messageClass());
    ASSERT_EQ(bundles->size(), 1u);
    auto* decoded = dynamic_cast<DMSPBMeasurementBundle*>(bundles->at(0).ifObject());
    ASSERT_TRUE(decoded);
    const auto& slot = decoded->messageInfo()->slots[DMSPBMeasurementBundle::kEvents];
    const NANOArrayRecord* array = std::get<std::unique_ptr<NANOArrayRecord>>(slot).get();
    EXPECT_EQ(array->count, 300u);
    auto decodedEvents = NANOGetArray(decoded, DMSPBMeasurementBundle::kEvents, &DMSPBEvent::messageClass());
    ASSERT_EQ(decodedEvents->size(), 300u);
    EXPECT_EQ(NANOGetInt64(dynamic_cast<DMSPBEvent*>(decodedEvents->at(299).ifObject()), DMSPBEvent::kTimestampMillis), 299);
    EXPECT_EQ(back->protoBuffer(), batch->protoBuffer());
}

TEST(DMSPBMessagesTest, MalformedInputFailsTheWholeDecodeWithTheMessagesLine) {
    struct Case {
        const char* what;
        plat::Data bytes;
        const char* line;
    };
    const plat::Data tooLong = dmsPbField(1, plat::Data(1048577, 'a'));
    const Case cases[] = {
        {"malformed parameter", dmsPbHex("0a 02 0a 05 12 03 66 6f 6f"), "<ERROR> EventParam decoder failed: "},
        {"truncated varint", dmsPbHex("18 dc"), "<ERROR> Event decoder failed: "},
        {"length past the end", dmsPbHex("12 05 66 6f"), "<ERROR> Event decoder failed: "},
        {"wrong wire type", dmsPbHex("1a 01 00"), "<ERROR> Event decoder failed: wrong wire type"},
        // Strings and messages are decoded by callbacks, which nanopb calls whatever the wire type.
        {"string sent as a varint", dmsPbHex("10 05"), "<ERROR> Event decoder failed: wrong wire type"},
        {"string sent as a fixed32", dmsPbHex("15 66 6f 6f 00"), "<ERROR> Event decoder failed: wrong wire type"},
        {"string of an element sent as a fixed64", dmsPbHex("0a 09 09 5f 6f 5f 6f 5f 6f 5f 6f"),
         "<ERROR> EventParam decoder failed: wrong wire type"},
        {"message element sent as a varint", dmsPbHex("08 05"), "<ERROR> Event decoder failed: wrong wire type"},
        {"oversized name", dmsPbField(1, dmsPbField(1, plat::Data(1048577, 'a'))), "<ERROR> "},
    };
    for (const Case& c : cases) {
        plat::sim::ConsoleCapture console;
        EXPECT_FALSE(DMSPBEvent::initWithBuffer(c.bytes)) << c.what;
        EXPECT_NE(console.err().find(c.line), std::string::npos) << c.what << ": " << console.err();
    }
    {
        // A repeated string sent as a varint, between two that are sent right.
        plat::sim::ConsoleCapture console;
        EXPECT_FALSE(DMSPBStringFilter::initWithBuffer(dmsPbHex("22 01 61 20 05 22 01 62")));
        EXPECT_NE(console.err().find("<ERROR> StringFilter decoder failed: wrong wire type"), std::string::npos)
            << console.err();
        EXPECT_TRUE(DMSPBStringFilter::initWithBuffer(dmsPbHex("22 01 61 22 01 62")));
    }
    plat::sim::ConsoleCapture console;
    EXPECT_FALSE(DMSPBSetting::initWithBuffer(tooLong));
    EXPECT_TRUE(DMSPBSetting::initWithBuffer(dmsPbField(1, plat::Data(1048576, 'a'))));

    // A record of another message is refused and left as it was.
    auto attribute = DMSPBUserAttribute::init();
    NANOSetString(attribute, DMSPBUserAttribute::kName, plat::Value("u"));
    EXPECT_FALSE(DMSPBEvent::initWithMessageInfo(attribute->messageInfo()));
    EXPECT_EQ(NANOGetString(attribute, DMSPBUserAttribute::kName), "u");
    auto copy = DMSPBUserAttribute::initWithMessageInfo(attribute->messageInfo());
    ASSERT_TRUE(copy);
    NANOSetString(copy, DMSPBUserAttribute::kName, plat::Value("v"));
    EXPECT_EQ(NANOGetString(attribute, DMSPBUserAttribute::kName), "u");
}

TEST(DMSPBMessagesTest, RandomAndMutatedBytesNeverCrashAnyDecoder) {
    std::vector<plat::Data> seeds{dmsPbHex("0a 09 0a 02 5f 6f 12 03 61 70 70 12 03 66 6f 6f 18 dc 0b"),
                                  dmsPbHex("08 dc 0b 12 01 75 20 07"), dmsPbHex("08 02 12 04 0a 02 05 07 20 01"),
                                  dmsPbHex("08 01 12 03 01 02 03 10 04")};
    {
        auto number = DMSPBNumberFilter::init();
        NANOSetInt32(number, DMSPBNumberFilter::kComparisonType, 4);
        NANOSetString(number, DMSPBNumberFilter::kMinComparisonValue, plat::Value("1.5"));
        auto stringFilter = DMSPBStringFilter::init();
        NANOSetArray(stringFilter, DMSPBStringFilter::kExpressionList, plat::Array{plat::Value("a"), plat::Value("b")});
        auto filter = DMSPBFilter::init();
        NANOSetMessage(filter, DMSPBFilter::kStringFilter, stringFilter);
        NANOSetMessage(filter, DMSPBFilter::kNumberFilter, number);
        auto eventFilter = DMSPBEventFilter::init();
        NANOSetArray(eventFilter, DMSPBEventFilter::kFilters, plat::Array{dmsPbObject(filter)});
        NANOSetMessage(eventFilter, DMSPBEventFilter::kEventCountFilter, number);
        auto propertyFilter = DMSPBPropertyFilter::init();
        NANOSetMessage(propertyFilter, DMSPBPropertyFilter::kFilter, filter);
        auto audience = DMSPBAudience::init();
        NANOSetArray(audience, DMSPBAudience::kEventFilters, plat::Array{dmsPbObject(eventFilter)});
        NANOSetArray(audience, DMSPBAudience::kPropertyFilters, plat::Array{dmsPbObject(propertyFilter)});
        auto config = DMSPBMeasurementConfig::init();
        NANOSetArray(config, DMSPBMeasurementConfig::kAudiences, plat::Array{dmsPbObject(audience)});
        auto setting = DMSPBSetting::init();
        NANOSetString(setting, DMSPBSetting::kName, plat::Value("k"));
        NANOSetArray(config, DMSPBMeasurementConfig::kSettings, plat::Array{dmsPbObject(setting)});
        auto eventConfig = DMSPBEventConfig::init();
        NANOSetInt32(eventConfig, DMSPBEventConfig::kSamplingRate, 3);
        NANOSetArray(config, DMSPBMeasurementConfig::kEventConfig, plat::Array{dmsPbObject(eventConfig)});
        auto configBytes = config->protoBuffer();
        ASSERT_TRUE(configBytes);
        auto configBack = DMSPBMeasurementConfig::initWithBuffer(*configBytes);
        ASSERT_TRUE(configBack);
        EXPECT_EQ(configBack->protoBuffer(), configBytes);
        seeds.push_back(*configBytes);

        auto dynamic = DMSPBDynamicFilterResultTimestamp::init();
        NANOSetInt64(dynamic, DMSPBDynamicFilterResultTimestamp::kEvalTimestamp, -5);
        auto results = DMSPBResultData::initWithBuffer(dmsPbHex("0a 02 05 07"));
        NANOSetArray(results, DMSPBResultData::kDynamicFilterTimestamps, plat::Array{dmsPbObject(dynamic)});
        auto leaf = DMSPBAudienceLeafFilterResult::init();
        NANOSetMessage(leaf, DMSPBAudienceLeafFilterResult::kPreviousResults, results);
        auto bundle = DMSPBMeasurementBundle::init();
        NANOSetArray(bundle, DMSPBMeasurementBundle::kAudienceEvaluationResults, plat::Array{dmsPbObject(leaf)});
        NANOSetArray(bundle, DMSPBMeasurementBundle::kEvents, plat::Array{dmsPbObject(dmsPbFooEvent())});
        auto batch = DMSPBMeasurementBatch::init();
        NANOSetArray(batch, DMSPBMeasurementBatch::kBundles, plat::Array{dmsPbObject(bundle)});
        auto batchBytes = batch->protoBuffer();
        ASSERT_TRUE(batchBytes);
        auto batchBack = DMSPBMeasurementBatch::initWithBuffer(*batchBytes);
        ASSERT_TRUE(batchBack);
        EXPECT_EQ(batchBack->protoBuffer(), batchBytes);
        seeds.push_back(*batchBytes);
    }
    plat::sim::ConsoleCapture quiet;
    std::mt19937 random(20261211);
    int decodedSome = 0;
    for (int round = 0; round < 1500; ++round) {
        const plat::Data input = plat::test::mutatedInput(random, seeds, round);
        // What decodes re-encodes, and that encoding decodes again to the same bytes (aborts otherwise).
        decodedSome += DMSPBFuzzOneInput(input.data(), input.size());
    }
    EXPECT_GT(decodedSome, 0);
}

TEST(DMSPBMessagesTest, EventsAndUserAttributesTravelAsTheirMessages) {
    auto event = DMSEvent::initWithOrigin("app", true, "foo", 1.5, 0, plat::Dictionary{});
    ASSERT_TRUE(event);
    auto bytes = event->protoEvent()->protoBuffer();
    EXPECT_EQ(dmsPbHexOf(bytes), "0a 09 0a 02 5f 6f 12 03 61 70 70 12 03 66 6f 6f 18 dc 0b");

    // Read back from the stored bytes, with every kind of value and a previous timestamp.
    auto typed = DMSEvent::initWithOrigin(
        "zuv", false, "_s", 12.25, 11.5,
        plat::Dictionary{{"n", plat::Value(-4)}, {"d", plat::Value(1.25)}, {"s", plat::Value("t")}});
    auto stored = DMSPBEvent::initWithBuffer(*typed->protoEvent()->protoBuffer());
    ASSERT_TRUE(stored);
    auto back = DMSEvent::initWithEventProto(stored);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->origin(), "zuv");
    EXPECT_EQ(back->name(), "_s");
    EXPECT_EQ(back->timestamp(), 12.25);
    EXPECT_EQ(back->previousTimestamp(), 11.5);
    EXPECT_EQ(back->parameters(), typed->parameters());
    // No message at all is an event without name or origin.
    EXPECT_FALSE(DMSEvent::initWithEventProto(nullptr));

    auto attribute = DMSUserAttribute::initWithOrigin("app", "u", DMSValue::initWithInt64(7), 1.5);
    ASSERT_TRUE(attribute);
    EXPECT_EQ(dmsPbHexOf(attribute->protoUserAttribute()->protoBuffer()), "08 dc 0b 12 01 75 20 07");
    auto text = DMSUserAttribute::initWithOrigin("app", "u", DMSValue::initWithString("v"), -1e300);
    auto fields = DMSUserAttributeFieldsFromMessage(text->protoUserAttribute());
    EXPECT_EQ(fields.stringValue, std::optional<std::string>("v"));
    EXPECT_EQ(fields.setTimestampMillis, std::numeric_limits<int64_t>::min());
    EXPECT_FALSE(fields.intValue);
}
