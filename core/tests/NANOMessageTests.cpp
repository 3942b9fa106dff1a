// The message layer: slot tables against the generated descriptors, exact wire bytes, every accessor's kind
// checks and lines, the decode limits, copies in and out, and hostile bytes through every decoder.

#include "core/CoreLogMessages.hpp"
#include "core/tests/CoreLogTestEvents.hpp"
#include "platform/foundation/Console.hpp"
#include "testing/MutatedInputs.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

plat::Data nanoHex(const std::string& text) {
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

std::string nanoHexOf(const plat::Data& data) {
    std::string out;
    char byte[4];
    for (uint8_t b : data) {
        std::snprintf(byte, sizeof byte, out.empty() ? "%02x" : " %02x", b);
        out += byte;
    }
    return out;
}

plat::Data nanoBytesOf(std::string_view text) {
    return plat::Data(text.begin(), text.end());
}

// A string field (LogEvent tag 2) of `length` bytes.
plat::Data nanoLongStringEvent(std::size_t length) {
    plat::Data out{0x12};
    std::size_t v = length;
    while (v >= 0x80) {
        out.push_back(static_cast<uint8_t>(v | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<uint8_t>(v));
    out.resize(out.size() + length, 'a');
    return out;
}


} // namespace

TEST(NanoMessageTest, EverySlotTableAgreesWithItsGeneratedDescriptor) {
    for (const NANOMessageDescriptor* descriptor : coreLogMessageDescriptors()) {
        EXPECT_TRUE(NANOCheckDescriptor(*descriptor).empty())
            << descriptor->name << ": " << NANOCheckDescriptor(*descriptor).front();
    }
    // A table that swaps two slots' kinds is caught.
    const NANOMessageDescriptor& real = DAVPBErrorInfo::messageDescriptor();
    const uint32_t swapped[3] = {real.flags[1], real.flags[0], real.flags[2]};
    NANOMessageDescriptor broken = real;
    broken.flags = swapped;
    EXPECT_EQ(NANOCheckDescriptor(broken).size(), 2u);
    // A table whose field names a tag the message lacks is caught.
    const NANOFieldSpec wrongTag[3] = {{1}, {2}, {4}};
    broken = real;
    broken.fields = wrongTag;
    EXPECT_FALSE(NANOCheckDescriptor(broken).empty());
}

TEST(NanoMessageTest, LogEventEncodesToItsGoldenBytesAndRoundTrips) {
    auto e = coreLogGoldenEvent();
    auto bytes = e->protoBuffer();
    ASSERT_TRUE(bytes);
    EXPECT_EQ(nanoHexOf(*bytes), kCoreLogGoldenEventHex);

    auto decoded = DLCPBLogEvent::initWithBuffer(*bytes);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(NANOGetInt64(decoded, DLCPBLogEvent::kEventTimeMs), 1700000000123);
    EXPECT_EQ(NANOGetInt64(decoded, DLCPBLogEvent::kEventUptimeMs), 5000);
    auto codes = NANOGetArray(decoded, DLCPBLogEvent::kTestCode);
    ASSERT_TRUE(codes);
    ASSERT_EQ(codes->size(), 3u);
    EXPECT_EQ((*codes)[2].intValue(), 3);
    EXPECT_FALSE(NANOHasField(decoded, 2));
    EXPECT_TRUE(NANOHasField(decoded, DLCPBLogEvent::kSourceExtension));
    EXPECT_EQ(decoded->protoBuffer(), bytes);

    // Packed input is read as well; output stays one tag per element.
    auto packed = DLCPBLogEvent::initWithBuffer(nanoHex("a2 01 03 01 02 03"));
    ASSERT_TRUE(packed);
    EXPECT_EQ(nanoHexOf(*packed->protoBuffer()), "a0 01 01 a0 01 02 a0 01 03");

    // An empty message, and a repeated field without elements, encode to nothing.
    auto empty = DLCPBLogEvent::init();
    EXPECT_TRUE(NANOHasField(empty, DLCPBLogEvent::kTestCode));
    ASSERT_TRUE(empty->protoBuffer());
    EXPECT_TRUE(empty->protoBuffer()->empty());
}

TEST(NanoMessageTest, ErrorInfoWritesNegativeCodesAsTenByteVarints) {
    auto info = DAVPBErrorInfo::init();
    NANOSetBool(info, DAVPBErrorInfo::kErrorPresent, true);
    NANOSetInt32(info, DAVPBErrorInfo::kErrorCode, -100);
    NANOSetString(info, DAVPBErrorInfo::kErrorDomain, plat::Value("com.vedudodu.core"));
    auto bytes = info->protoBuffer();
    ASSERT_TRUE(bytes);
    ASSERT_EQ(bytes->size(), 32u);
    EXPECT_EQ(nanoHexOf(plat::Data(bytes->begin(), bytes->begin() + 15)),
              "08 01 10 9c ff ff ff ff ff ff ff ff 01 1a 11");
    auto back = DAVPBErrorInfo::initWithBuffer(*bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(NANOGetInt32(back, DAVPBErrorInfo::kErrorCode), -100);
    EXPECT_TRUE(NANOGetBool(back, DAVPBErrorInfo::kErrorPresent));
    EXPECT_EQ(NANOGetString(back, DAVPBErrorInfo::kErrorDomain), "com.vedudodu.core");
}

TEST(NanoMessageTest, AccessorsOfTheWrongKindLogTheirLineAndChangeNothing) {
    plat::sim::ConsoleCapture console;
    auto e = coreLogGoldenEvent();
    struct Case {
        std::function<void()> call;
        const char* line;
    };
    const std::vector<Case> cases = {
        {[&] { EXPECT_EQ(NANOGetInt32(e, 3), 0); }, "Field type isn't a scalar INT32. Message: LogEvent, field ID: 3"},
        {[&] { NANOSetInt64(e, 16, 5); }, "Field type isn't a scalar INT64. Message: LogEvent, field ID: 16"},
        {[&] { EXPECT_FALSE(NANOGetBool(e, 0)); }, "Field type isn't a scalar BOOL. Message: LogEvent, field ID: 0"},
        {[&] { EXPECT_EQ(NANOGetDouble(e, 0), 0.0); }, "Field type isn't a scalar DOUBLE. Message: LogEvent, field ID: 0"},
        {[&] { EXPECT_FALSE(NANOGetString(e, 8)); }, "Field type isn't a scalar STRING. Message: LogEvent, field ID: 8"},
        {[&] { EXPECT_FALSE(NANOGetArray(e, 0)); }, "Field type isn't REPEATED. Message: LogEvent, field ID: 0"},
        {[&] { NANOSetString(e, 18, plat::Value("x")); }, "Field type isn't a scalar STRING. Message: LogEvent, field ID: 18"},
        // Bytes into a field of another kind would later be read as that kind.
        {[&] { NANOSetBytes(e, 0, plat::Value(plat::Data{1})); },
         "Field type isn't a scalar BYTES. Message: LogEvent, field ID: 0"},
        {[&] { NANOSetMessage(e, 0, DAVPBErrorInfo::init()); },
         "Field type isn't a scalar MESSAGE. Message: LogEvent, field ID: 0"},
    };
    for (const Case& c : cases) {
        plat::sim::Console::clearCaptured();
        c.call();
        EXPECT_NE(console.nslog().find(std::string("<Nano/Failure> ") + c.line), std::string::npos) << c.line;
    }
    EXPECT_EQ(nanoHexOf(*e->protoBuffer()), kCoreLogGoldenEventHex);

    // Absent fields answer empty without a line.
    plat::sim::Console::clearCaptured();
    auto fresh = DLCPBLogEvent::init();
    EXPECT_EQ(NANOGetInt64(fresh, 0), 0);
    EXPECT_FALSE(NANOGetString(fresh, 3));
    EXPECT_FALSE(NANOGetMessage<DLCPBClientInfo>(DLCPBLogRequest::init(), DLCPBLogRequest::kClientInfo));
    EXPECT_EQ(console.nslog(), "");

    // A message without a record.
    NANOGetInt32(nullptr, 0);
    EXPECT_NE(console.nslog().find("ProtocolBuffer message hasn't been initialized. GetInt32 can't be performed"),
              std::string::npos);
}

TEST(NanoMessageTest, AStringSetFromANumberIsPresentWithoutDataAndCannotBeEncoded) {
    auto e = DLCPBLogEvent::init();
    NANOSetString(e, 3, plat::Value(42));
    EXPECT_TRUE(NANOHasField(e, 3));
    EXPECT_FALSE(NANOGetString(e, 3));
    EXPECT_FALSE(e->protoBuffer());
    NANOSetString(e, 3, plat::Value());
    EXPECT_FALSE(NANOHasField(e, 3));
    ASSERT_TRUE(e->protoBuffer());

    // Not UTF-8: no string.
    auto bad = DLCPBLogEvent::initWithBuffer(nanoHex("12 02 c3 28"));
    ASSERT_TRUE(bad);
    EXPECT_TRUE(NANOHasField(bad, 3));
    EXPECT_FALSE(NANOGetString(bad, 3));
}

TEST(NanoMessageTest, OneUnfitElementLeavesTheWholeArrayEmpty) {
    plat::sim::ConsoleCapture console;
    auto e = coreLogGoldenEvent();
    NANOSetArray(e, DLCPBLogEvent::kTestCode, plat::Array{plat::Value(1), plat::Value("x")});
    EXPECT_NE(console.nslog().find("<ERROR> Invalid object type. Int32 fields expect NSNumber. Type: NSString"),
              std::string::npos);
    EXPECT_TRUE(NANOGetArray(e, DLCPBLogEvent::kTestCode)->empty());

    // Elements of a repeated message field must be messages of the field's own type.
    auto request = DLCPBLogRequest::init();
    NANOSetArray(request, DLCPBLogRequest::kLogEvent,
                 plat::Array{plat::Value(plat::rt::ObjectPtr(coreLogGoldenEvent())),
                             plat::Value(plat::rt::ObjectPtr(DAVPBErrorInfo::init()))});
    EXPECT_NE(console.nslog().find("Message fields expect NANOMessageBase. Type: DAVPBErrorInfo"), std::string::npos);
    EXPECT_TRUE(NANOGetArray(request, DLCPBLogRequest::kLogEvent, &DLCPBLogEvent::messageClass())->empty());

    NANOSetArray(request, DLCPBLogRequest::kSerializedLogEvents, plat::Array{plat::Value("text")});
    EXPECT_NE(console.nslog().find("Bytes fields expect NSData. Type: NSString"), std::string::npos);
}

TEST(NanoMessageTest, ALogRequestCarriesNestedAndRepeatedMessagesThroughTheWire) {
    auto ios = DLCPBIosClientInfo::init();
    NANOSetString(ios, DLCPBIosClientInfo::kOSVersion, plat::Value("17.2"));
    auto client = DLCPBClientInfo::init();
    NANOSetInt32(client, DLCPBClientInfo::kClientType, 3);
    NANOSetMessage(client, DLCPBClientInfo::kIosClientInfo, ios);
    // The setter copied: later changes to the original do not reach the field.
    NANOSetString(ios, DLCPBIosClientInfo::kOSVersion, plat::Value("changed"));

    auto request = DLCPBLogRequest::init();
    NANOSetMessage(request, DLCPBLogRequest::kClientInfo, client);
    NANOSetInt32(request, DLCPBLogRequest::kLogSource, 137);
    NANOSetArray(request, DLCPBLogRequest::kSerializedLogEvents,
                 plat::Array{plat::Value(nanoBytesOf("one")), plat::Value(nanoBytesOf("two"))});
    auto second = coreLogGoldenEvent();
    NANOSetInt64(second, DLCPBLogEvent::kEventTimeMs, 7);
    NANOSetArray(request, DLCPBLogRequest::kLogEvent,
                 plat::Array{plat::Value(plat::rt::ObjectPtr(coreLogGoldenEvent())), plat::Value(plat::rt::ObjectPtr(second))});

    auto bytes = request->protoBuffer();
    ASSERT_TRUE(bytes);
    auto back = DLCPBLogRequest::initWithBuffer(*bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->protoBuffer(), bytes);
    EXPECT_EQ(NANOGetInt32(back, DLCPBLogRequest::kLogSource), 137);
    auto backClient = NANOGetMessage<DLCPBClientInfo>(back, DLCPBLogRequest::kClientInfo);
    ASSERT_TRUE(backClient);
    EXPECT_EQ(NANOGetInt32(backClient, DLCPBClientInfo::kClientType), 3);
    auto backIos = NANOGetMessage<DLCPBIosClientInfo>(backClient, DLCPBClientInfo::kIosClientInfo);
    ASSERT_TRUE(backIos);
    EXPECT_EQ(NANOGetString(backIos, DLCPBIosClientInfo::kOSVersion), "17.2");

    auto blobs = NANOGetArray(back, DLCPBLogRequest::kSerializedLogEvents);
    ASSERT_EQ(blobs->size(), 2u);
    EXPECT_EQ((*blobs)[1].asData(), nanoBytesOf("two"));
    auto events = NANOGetArray(back, DLCPBLogRequest::kLogEvent, &DLCPBLogEvent::messageClass());
    ASSERT_EQ(events->size(), 2u);
    auto* firstEvent = dynamic_cast<DLCPBLogEvent*>(events->at(0).ifObject());
    auto* secondEvent = dynamic_cast<DLCPBLogEvent*>(events->at(1).ifObject());
    ASSERT_TRUE(firstEvent && secondEvent);
    EXPECT_EQ(nanoHexOf(*firstEvent->protoBuffer()), kCoreLogGoldenEventHex);
    EXPECT_EQ(NANOGetInt64(secondEvent, DLCPBLogEvent::kEventTimeMs), 7);
    // A class of another message makes nothing of the elements.
    EXPECT_TRUE(NANOGetArray(back, DLCPBLogRequest::kLogEvent, &DAVPBErrorInfo::messageClass())->empty());
    EXPECT_FALSE(NANOGetMessage<DAVPBErrorInfo>(back, DLCPBLogRequest::kClientInfo));
    EXPECT_FALSE(DAVPBErrorInfo::initWithMessageInfo(back->messageInfo()));

    // Absent submessages stay absent after decoding; an empty repeated bytes field writes no field 5.
    auto bare = DLCPBLogRequest::initWithBuffer(nanoHex("10 89 01"));
    ASSERT_TRUE(bare);
    EXPECT_FALSE(NANOHasField(bare, DLCPBLogRequest::kClientInfo));
    EXPECT_EQ(nanoHexOf(*bare->protoBuffer()), "10 89 01");
    auto noIos = DLCPBClientInfo::initWithBuffer(nanoHex("08 03"));
    ASSERT_TRUE(noIos);
    EXPECT_FALSE(NANOHasField(noIos, DLCPBClientInfo::kIosClientInfo));
}

TEST(NanoMessageTest, DecodedStringsAreCappedAtOneMebibyte) {
    plat::sim::ConsoleCapture console;
    auto fits = DLCPBLogEvent::initWithBuffer(nanoLongStringEvent(1048576));
    ASSERT_TRUE(fits);
    EXPECT_EQ(NANOGetString(fits, 3)->size(), 1048576u);
    EXPECT_FALSE(DLCPBLogEvent::initWithBuffer(nanoLongStringEvent(1048577)));
    EXPECT_NE(console.err().find("Unable to process proto stream. Buffer is too big. 1048577 > 1048576"),
              std::string::npos);

    // A log event that is no valid LogEvent fails the whole request.
    EXPECT_FALSE(DLCPBLogRequest::initWithBuffer(nanoHex("1a 03 0a 05 01")));
}

TEST(NanoMessageTest, RandomAndMutatedBytesNeverCrashAnyDecoder) {
    std::vector<plat::Data> seeds{nanoHex(kCoreLogGoldenEventHex)};
    {
        auto request = DLCPBLogRequest::init();
        NANOSetMessage(request, DLCPBLogRequest::kClientInfo, DLCPBClientInfo::init());
        NANOSetArray(request, DLCPBLogRequest::kLogEvent, plat::Array{plat::Value(plat::rt::ObjectPtr(coreLogGoldenEvent()))});
        NANOSetArray(request, DLCPBLogRequest::kSerializedLogEvents, plat::Array{plat::Value(nanoBytesOf("x"))});
        seeds.push_back(*request->protoBuffer());
        auto config = DAVPBICoreConfiguration::init();
        NANOSetArray(config, DAVPBICoreConfiguration::kSdkServiceInstalled, plat::Array{plat::Value(18)});
        auto error = DAVPBErrorInfo::init();
        NANOSetInt32(error, DAVPBErrorInfo::kErrorCode, -1);
        NANOSetMessage(config, DAVPBICoreConfiguration::kErrorInfo, error);
        NANOSetArray(config, DAVPBICoreConfiguration::kSubspecErrorInfo,
                     plat::Array{plat::Value(plat::rt::ObjectPtr(error))});
        seeds.push_back(*config->protoBuffer());
    }
    plat::sim::ConsoleCapture quiet;
    std::mt19937 random(20240611);
    int decodedSome = 0;
    for (int round = 0; round < 3000; ++round) {
        const plat::Data input = plat::test::mutatedInput(random, seeds, round);
        std::vector<std::shared_ptr<NANOMessage>> decoded{
            DLCPBClientInfo::initWithBuffer(input),  DLCPBIosClientInfo::initWithBuffer(input),
            DLCPBLogEvent::initWithBuffer(input),    DLCPBLogRequest::initWithBuffer(input),
            DAVPBErrorInfo::initWithBuffer(input),   DAVPBICoreConfiguration::initWithBuffer(input)};
        for (const auto& message : decoded) {
            if (message) {
                ++decodedSome;
                (void)message->protoBuffer();
            }
        }
    }
    EXPECT_GT(decodedSome, 0);
}
