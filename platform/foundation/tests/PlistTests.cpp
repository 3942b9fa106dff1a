#include "platform/foundation/PropertyList.hpp"

#include <gtest/gtest.h>

#include "platform/foundation/String.hpp"

using plat::Array;
using plat::Data;
using plat::Date;
using plat::Dictionary;
using plat::PropertyListSerialization;
using plat::Value;
using Format = PropertyListSerialization::Format;

namespace {

Value sample() {
    return Value(Dictionary{
        {"name", Value("Portal \xC3\xA9")},
        {"count", Value(42)},
        {"negative", Value(-7)},
        {"ratio", Value(0.25)},
        {"enabled", Value(true)},
        {"off", Value(false)},
        {"blob", Value(Data{0, 1, 2, 255})},
        {"when", Value(Date::fromTimeIntervalSinceReferenceDate(123456789))},
        {"list", Value(Array{Value("a"), Value(Dictionary{{"nested", Value(1)}}), Value(Array{})})},
        {"empty", Value(Dictionary{})},
    });
}

void expectPlistReadError(std::string_view bytes) {
    auto r = PropertyListSerialization::propertyList(bytes);
    ASSERT_FALSE(r.ok()) << bytes.substr(0, 80);
    EXPECT_EQ(r.error().domain, plat::NSCocoaErrorDomain);
    EXPECT_EQ(r.error().code, 3840);
    EXPECT_NE(r.error().userInfoValue(plat::NSDebugDescriptionErrorKey), nullptr);
}

std::string asText(const Data& d) {
    return std::string(d.begin(), d.end());
}

std::string xmlWrap(std::string_view body) {
    return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">") +
           std::string(body) + "</plist>";
}

} // namespace

TEST(Plist, XMLAndBinaryRoundTripKeepKindsAndOrder) {
    for (Format format : {Format::XML, Format::Binary}) {
        auto data = PropertyListSerialization::data(sample(), format);
        ASSERT_TRUE(data.ok()) << data.error().description();
        auto parsed = PropertyListSerialization::propertyList(*data);
        ASSERT_TRUE(parsed.ok()) << parsed.error().description();
        EXPECT_EQ(parsed->format, format);
        const Value& v = parsed->value;
        EXPECT_EQ(v, sample());
        EXPECT_TRUE(v["enabled"].isBool());
        EXPECT_TRUE(v["count"].isInteger());
        EXPECT_EQ(v["negative"].asInt64(), -7);
        EXPECT_EQ(v["when"].asDate(), Date::fromTimeIntervalSinceReferenceDate(123456789));
        EXPECT_EQ(v.asDictionary().keys(), sample().asDictionary().keys());
    }
}

TEST(Plist, BinaryKeepsFractionalSecondsXMLWholeSeconds) {
    for (double t : {-5.25, 0.5, 123456789.5}) {
        Value when(Array{Value(Date::fromTimeIntervalSinceReferenceDate(t))});
        auto bin = PropertyListSerialization::data(when, Format::Binary);
        EXPECT_EQ(PropertyListSerialization::propertyList(*bin)->value, when) << t;
    }
    Value when(Array{Value(Date::fromTimeIntervalSinceReferenceDate(5.75))});
    auto xml = PropertyListSerialization::data(when, Format::XML);
    EXPECT_NE(asText(*xml).find("<date>2001-01-01T00:00:05Z</date>"), std::string::npos) << asText(*xml);
}

TEST(Plist, ReadsHandWrittenXML) {
    std::string xml = xmlWrap("<dict><key>API_KEY</key><string>abc&amp;def</string><key>IS_ON</key><true/>"
                              "<key>N</key><integer>-12</integer><key>R</key><real>1.5</real>"
                              "<key>D</key><date>2001-01-01T00:01:00Z</date><key>B</key><data>AAEC</data>"
                              "<!-- a comment with <array> inside --><key>A</key><array/></dict>");
    auto r = PropertyListSerialization::propertyList(xml);
    ASSERT_TRUE(r.ok()) << r.error().description();
    EXPECT_EQ(r->format, Format::XML);
    const Value& v = r->value;
    EXPECT_EQ(v["API_KEY"].asString(), "abc&def");
    EXPECT_TRUE(v["IS_ON"].asBool());
    EXPECT_EQ(v["N"].asInt64(), -12);
    EXPECT_EQ(v["R"].asDouble(), 1.5);
    EXPECT_EQ(v["D"].asDate().timeIntervalSinceReferenceDate(), 60.0);
    EXPECT_EQ(v["B"].asData(), (Data{0, 1, 2}));
    EXPECT_TRUE(v["A"].isArray());
}

TEST(Plist, DictionaryHelperNamesTheTopLevelItFound) {
    auto arrayPlist = PropertyListSerialization::data(Value(Array{Value(1)}), Format::XML);
    ASSERT_TRUE(arrayPlist.ok());
    auto r = PropertyListSerialization::dictionary(*arrayPlist);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().code, 3840);
    EXPECT_NE(r.error().userInfoValue(plat::NSDebugDescriptionErrorKey)->asString().find("found an array"),
              std::string::npos);

    auto dictPlist = PropertyListSerialization::data(sample(), Format::Binary);
    auto d = PropertyListSerialization::dictionary(*dictPlist);
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(d->find("count")->asInt64(), 42);
}

TEST(Plist, RejectsUnreadableInput) {
    expectPlistReadError("");
    expectPlistReadError("{ key = value; }"); // old-style text is not read
    expectPlistReadError(xmlWrap("<dict><key>a</key>"));
    expectPlistReadError("<not a plist");
    expectPlistReadError("bplist00garbage");
    expectPlistReadError(xmlWrap("<string>\xff</string>"));
    // A binary list with a corrupt trailer.
    auto good = PropertyListSerialization::data(sample(), Format::Binary);
    std::string broken = asText(*good);
    broken[broken.size() - 1] = '\x7f'; // offset table beyond the end
    expectPlistReadError(broken);
}

TEST(Plist, DeepNestingIsRefusedNotACrash) {
    std::string deepXML;
    for (int i = 0; i < 100000; ++i) {
        deepXML += "<array>";
    }
    expectPlistReadError(xmlWrap(deepXML));

    Value deep(Array{});
    for (int i = 0; i < 600; ++i) {
        deep = Value(Array{deep});
    }
    auto write = PropertyListSerialization::data(deep, Format::Binary);
    ASSERT_FALSE(write.ok());
    EXPECT_EQ(write.error().code, 3852);

    Value ok(Array{});
    for (int i = 0; i < 500; ++i) {
        ok = Value(Array{ok});
    }
    auto bin = PropertyListSerialization::data(ok, Format::Binary);
    ASSERT_TRUE(bin.ok());
    EXPECT_TRUE(PropertyListSerialization::propertyList(*bin).ok());
}

TEST(Plist, BinaryCyclesAreRefused) {
    // An array (object 0) whose only element is itself.
    std::string b = "bplist00";
    b += "\xA1";
    b += '\0'; // ref to object 0
    size_t table = b.size();
    b += '\x08'; // object 0 at offset 8
    std::string trailer(32, '\0');
    trailer[6] = 1;  // offset size
    trailer[7] = 1;  // ref size
    trailer[15] = 1; // one object
    trailer[31] = static_cast<char>(table);
    expectPlistReadError(b + trailer);
}

TEST(Plist, InputAbove64MiBIsRefused) {
    std::string big(PropertyListSerialization::kMaxInputBytes + 1, ' ');
    expectPlistReadError(big);
}

TEST(Plist, UnwritableValuesGive3852) {
    for (const Value& v :
         {Value(), Value(Array{Value()}), Value(Dictionary{{"s", Value(std::string("a\0b", 3))}}),
          Value(Date(1e12)), Value(Array{Value(UINT64_MAX)})}) {
        for (Format f : {Format::XML, Format::Binary}) {
            auto r = PropertyListSerialization::data(v, f);
            ASSERT_FALSE(r.ok()) << v.description();
            EXPECT_EQ(r.error().code, 3852);
        }
    }
    EXPECT_FALSE(PropertyListSerialization::data(sample(), Format::OpenStep).ok());
    EXPECT_FALSE(PropertyListSerialization::propertyListIsValidForFormat(Value(), Format::XML));
    EXPECT_TRUE(PropertyListSerialization::propertyListIsValidForFormat(sample(), Format::Binary));
}
