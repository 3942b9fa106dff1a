// The kit's settings with their defaults and odd values, this execution's metadata from the kit host, the
// beta token, and the crash-metadata file that carries one execution's metadata to the next.

#include "ZazududIda/ZDAMetadata.hpp"
#include "ZazududIda/ZDASettings.hpp"

#include "kit_host/Zuvadu.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/Json.hpp"
#include "testing/FixtureBundle.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

namespace {

using plat::Dictionary;
using plat::Value;

TEST(ZDASettingsTest, DefaultsWithoutSettings) {
    const ZDASettings settings(std::nullopt);
    EXPECT_FALSE(settings.valid());
    ASSERT_TRUE(settings.didivarURL());
    EXPECT_EQ(settings.didivarURL()->absoluteString(), "https://events.example.test/spi/v2/events");
    EXPECT_TRUE(settings.shouldCollectAnalytics());
    EXPECT_TRUE(settings.shouldCollectCustomEvents());
    EXPECT_TRUE(settings.shouldCollectPredefinedEvents());
    EXPECT_FALSE(settings.shouldForwardToVedudoduAnalytics());
    EXPECT_FALSE(settings.shouldIncludePurchaseEventsInForwardedVedudoduEvents());
    EXPECT_EQ(settings.maximumPayloadSize(), 8000);
    EXPECT_EQ(settings.maxPendingSendFiles(), 100);
    EXPECT_EQ(settings.flushInterval(), 0);
    EXPECT_EQ(settings.samplingRate(), 1);
    EXPECT_EQ(settings.defaultUploadTimeout(), 21600);
    EXPECT_EQ(settings.lowPowerUploadTimeout(), 3600);

    const ZDASettings empty(Dictionary{{"analytics", Value(Dictionary{{"url", Value("https://e.test/x")}})}});
    EXPECT_TRUE(empty.valid());
    EXPECT_EQ(empty.samplingRate(), 1) << "a section without the key gives the default";
    EXPECT_EQ(empty.didivarURL()->absoluteString(), "https://e.test/x");
}

TEST(ZDASettingsTest, ValuesAreReadWithTheirOwnConversion) {
    const Dictionary analytics{
        {"track_custom_events", Value(false)},
        {"track_predefined_events", Value("NO")},
        {"forward_to_razoza_analytics", Value(int64_t(1))},
        {"include_purchase_events_in_forwarded_events", Value("yes")},
        {"max_byte_size_per_file", Value("12000")},
        {"max_pending_send_file_count", Value(-4)},
        {"flush_interval_secs", Value(int64_t(90))},
        {"sampling_rate", Value(7.9)},
        {"upload_timeout_secs", Value("12.5")},
        {"low_power_upload_timeout_secs", Value(plat::Array{})},
        {"collect_analytics", Value(false)},
        {"url", Value("not a url")},
    };
    const ZDASettings settings(Dictionary{{"analytics", Value(analytics)}});
    EXPECT_FALSE(settings.shouldCollectCustomEvents());
    EXPECT_FALSE(settings.shouldCollectPredefinedEvents());
    EXPECT_TRUE(settings.shouldForwardToVedudoduAnalytics());
    EXPECT_TRUE(settings.shouldIncludePurchaseEventsInForwardedVedudoduEvents());
    EXPECT_EQ(settings.maximumPayloadSize(), 12000);
    EXPECT_EQ(settings.maxPendingSendFiles(), -4);
    EXPECT_EQ(settings.flushInterval(), 90);
    EXPECT_EQ(settings.samplingRate(), 7);
    EXPECT_EQ(settings.defaultUploadTimeout(), 12.5);
    EXPECT_EQ(settings.lowPowerUploadTimeout(), 0);
    EXPECT_TRUE(settings.shouldCollectAnalytics()) << "the switch counts only under \"features\"";
    EXPECT_FALSE(settings.didivarURL()) << "a url that is no URL";

    EXPECT_FALSE(ZDASettings(Dictionary{{"features", Value(Dictionary{{"collect_analytics", Value(false)}})}})
                     .shouldCollectAnalytics());
    EXPECT_FALSE(ZDASettings(Dictionary{{"analytics", Value(Dictionary{{"url", Value(int64_t(5))}})}}).didivarURL());
    const ZDASettings oddSections(Dictionary{{"analytics", Value("text")}, {"features", Value(int64_t(0))}});
    EXPECT_EQ(oddSections.samplingRate(), 1);
    EXPECT_TRUE(oddSections.shouldCollectAnalytics());
}

TEST(ZDAMetadataTest, BetaTokens) {
    struct Case {
        std::optional<std::string> token;
        std::optional<std::string> unwrapped;
    } cases[] = {
        {"2:abc", "abc"}, {"1:abc", std::nullopt}, {"abc", std::nullopt}, {"2:a:b", std::nullopt},
        {std::nullopt, std::nullopt}, {"2:", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ZDAMetadata::unwrapBetaToken(c.token), c.unwrapped) << c.token.value_or("(nil)");
    }
}

ZDAMetadata::Fields fullFields() {
    ZDAMetadata::Fields f;
    f.APIKey = "key";
    f.betaToken = "tok";
    f.buildVersion = "42";
    f.bundleIdentifier = "com.example.portal";
    f.displayVersion = "1.2";
    f.executionIdentifier = "exec";
    f.hostModel = "SimPhone1,1";
    f.installationId = "INSTALL";
    f.instanceIdentifier = "inst";
    f.locale = "en_US";
    f.numberOfCores = 6;
    f.OSBuildVersion = "16F203";
    f.OSDisplayVersion = "12.4.0";
    return f;
}

TEST(ZDAMetadataTest, DictionaryKeysInOrderAndAbsentValuesLeftOut) {
    const ZDAMetadata metadata(fullFields());
    EXPECT_EQ(metadata.eventName(), "metadata");
    const Dictionary d = *metadata.dictionaryRepresentationWithStartTime(1500);
    EXPECT_EQ(d.keys(), (std::vector<std::string>{"generator", "api_key", "session_id", "started_at",
                                                  "beta_tester_token", "install_id", "model", "machine", "locale",
                                                  "os_build", "os_version", "platform", "platform_code", "cores",
                                                  "jailbroken", "bundle_id", "bundle_version", "bundle_short_version",
                                                  "instance_id"}));
    EXPECT_EQ(*d.find("generator"), Value("Zuvidir iOS SDK/1.4.0"));
    EXPECT_EQ(*d.find("started_at"), Value(uint64_t(1500)));
    EXPECT_EQ(*d.find("model"), Value("SimPhone1,1"));
    EXPECT_EQ(*d.find("machine"), Value("SimPhone1,1"));
    EXPECT_EQ(*d.find("platform"), Value("iOS"));
    EXPECT_EQ(*d.find("platform_code"), Value(uint64_t(1)));
    EXPECT_EQ(*d.find("cores"), Value(uint64_t(6)));
    EXPECT_EQ(*d.find("jailbroken"), Value(false));
    EXPECT_EQ(*plat::JSONSerialization::string(Value(Dictionary{{"jailbroken", *d.find("jailbroken")}})),
              "{\"jailbroken\":false}");

    const ZDAMetadata sparse(ZDAMetadata::Fields{});
    EXPECT_EQ(sparse.dictionaryRepresentationWithStartTime(1)->keys(),
              (std::vector<std::string>{"generator", "started_at", "platform", "platform_code", "cores", "jailbroken"}));
}

TEST(ZDAMetadataTest, FieldsComeFromTheKitHost) {
    plat::test::TempAppHome home;
    plat::test::FixtureBundle(home.root() + "/App.app",
                              Dictionary{{"CFBundleIdentifier", Value("com.example/portal")},
                                         {"CFBundleVersion", Value("42")},
                                         {"CFBundleShortVersionString", Value("1.2")},
                                         {"Zuvadu", Value(Dictionary{{"APIKey", Value("demo-key")}})}})
        .makeMain();
    Zuvadu& host = Zuvadu::sharedSDK();
    const ZDAMetadata metadata(host, std::string("2:beta"));
    const Dictionary d = *metadata.dictionaryRepresentationWithStartTime(7);
    EXPECT_EQ(*d.find("api_key"), Value("demo-key"));
    EXPECT_EQ(*d.find("install_id"), Value(host.installID()));
    EXPECT_EQ(*d.find("session_id"), Value(host.executionIdentifier()));
    EXPECT_EQ(*d.find("beta_tester_token"), Value("beta"));
    EXPECT_EQ(*d.find("bundle_id"), Value("com.example_portal"));
    EXPECT_EQ(*d.find("bundle_version"), Value("42"));
    EXPECT_EQ(*d.find("bundle_short_version"), Value("1.2"));
    ASSERT_TRUE(host.instanceIdentifier());
    EXPECT_EQ(*d.find("instance_id"), Value(*host.instanceIdentifier()));
    EXPECT_TRUE(d.contains("model"));
    EXPECT_TRUE(d.contains("os_version"));
    EXPECT_GE(d.find("cores")->asUInt64(), 1u);
    EXPECT_FALSE(metadata.isJailbroken());

    EXPECT_FALSE(ZDAMetadata(host, std::string("1:beta")).dictionaryRepresentationWithStartTime(7)->contains(
        "beta_tester_token"));
}

class ZDACrashMetadataTest : public ::testing::Test {
protected:
    plat::test::TempAppHome home_;
    plat::URL url_ = plat::URL::file(home_.root() + "/crash_metadata");

    std::shared_ptr<const ZDACrashMetadata> rotate(const std::string& execution) {
        ZDAMetadata::Fields f = fullFields();
        f.executionIdentifier = execution;
        ZDARotateCrashMetadataOperation op(url_, std::make_shared<ZDAMetadata>(f));
        op.main();
        return op.crashMetadata();
    }
    std::optional<Dictionary> stored() const { return ZDACrashMetadata::readSerializedDictionaryFromURL(url_); }
};

TEST_F(ZDACrashMetadataTest, EachExecutionReadsThePreviousOneAndReplacesIt) {
    plat::Virtual::setWall(2000.9);
    auto first = rotate("one");
    ASSERT_TRUE(first->rawMetadataDictionary());
    EXPECT_TRUE(first->rawMetadataDictionary()->empty()) << "first execution ever";
    EXPECT_EQ(*first->dictionaryRepresentationWithStartTime(5), Dictionary{});
    ASSERT_TRUE(stored());
    EXPECT_EQ(*stored()->find("session_id"), Value("one"));
    EXPECT_EQ(stored()->find("started_at")->integerValue(), 2000) << "the start time in whole seconds";

    auto second = rotate("two");
    ASSERT_TRUE(second->rawMetadataDictionary());
    EXPECT_EQ(*second->rawMetadataDictionary()->find("session_id"), Value("one"));
    EXPECT_EQ(second->eventName(), "metadata");
    EXPECT_EQ(*second->dictionaryRepresentationWithStartTime(99)->find("started_at"), Value(int64_t(2000)))
        << "the stored dictionary, whatever the start time";
    EXPECT_EQ(*stored()->find("session_id"), Value("two"));
}

TEST_F(ZDACrashMetadataTest, AnUnreadableFileGivesNoDictionary) {
    for (bool directory : {false, true}) {
        if (directory) {
            ASSERT_TRUE(plat::FileManager::defaultManager().createDirectory(url_.path(), true));
            ASSERT_TRUE(plat::writeData(url_.path() + "/inside", plat::Data{1}));
        } else {
            ASSERT_TRUE(plat::writeData(url_.path(), plat::Data{'n', 'o', 't', ' ', '{'}));
        }
        auto previous = rotate("three");
        EXPECT_FALSE(previous->rawMetadataDictionary()) << directory;
        EXPECT_FALSE(previous->dictionaryRepresentationWithStartTime(1)) << directory;
        ASSERT_TRUE(stored()) << "this execution's metadata is written all the same";
        EXPECT_EQ(*stored()->find("session_id"), Value("three"));
        ASSERT_TRUE(plat::FileManager::defaultManager().removeItem(url_.path()));
    }
    ASSERT_TRUE(plat::writeData(url_.path(), plat::Data{'[', ']'}));
    EXPECT_FALSE(stored()) << "JSON that is no dictionary";
}

} // namespace
