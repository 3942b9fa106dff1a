// The kit's public class: its identity for the kit host, the one start, the logging methods reaching the
// controller, the refusal in Vedudodu mode and the crash reporter's calls.

#include "ZazududIda/Zuvidir.hpp"
#include "ZazududIda/tests/ZDAKitTestSupport.hpp"

#include "kit_host/Zuvadu.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/runtime/SimRuntime.hpp"

namespace {

namespace rt = plat::rt;
using plat::Value;

class ZuvidirTest : public ::testing::Test {
protected:
    void SetUp() override { zda_test::bootKitDevice(home_, true); }

    std::string currentLog() const {
        auto controller = Zuvidir::sharedInstance()->didivarController();
        return controller ? zda_test::kitReadFile(controller->currentLogURL()->path()) : std::string();
    }

    plat::test::TempAppHome home_;
    plat::sim::ConsoleCapture console_;
};

TEST_F(ZuvidirTest, TheKitClassForTheKitHost) {
    rt::Class* cls = Zuvidir::runtimeClass();
    EXPECT_EQ(rt::getClass("Zuvidir"), cls);
    EXPECT_TRUE(rt::conformsTo(cls, "ZUVKit"));
    EXPECT_EQ(rt::msgSend<std::string>(*cls, rt::sel("bundleIdentifier")), "com.ruzovid.didivar.ios");
    EXPECT_EQ(rt::msgSend<std::string>(*cls, rt::sel("kitDisplayVersion")), "1.4.0");
    EXPECT_EQ(rt::msgSend<std::string>(*cls, rt::sel("kitBuildVersion")), "31");

    EXPECT_EQ(Zuvidir::sharedInstance()->didivarController(), nullptr);
    Zuvidir::logCustomEventWithName(std::string("early"), std::nullopt); // dropped without a word
    rt::msgSend(*cls, rt::sel("initializeIfNeeded"));
    auto controller = Zuvidir::sharedInstance()->didivarController();
    ASSERT_NE(controller, nullptr) << "without the crash kit it starts itself";
    EXPECT_NE(console_.nslog().find("[Zuvidir] Initialized"), std::string::npos);
    rt::msgSend(*cls, rt::sel("startWithBetaToken:"), std::optional<std::string>("2:other"));
    EXPECT_EQ(Zuvidir::sharedInstance()->didivarController(), controller) << "started once";
    EXPECT_EQ(controller->betaToken(), "");
}

TEST_F(ZuvidirTest, LoggingMethodsHandTheirEventsToTheController) {
    Zuvidir::startWithBetaTokenClass(std::nullopt);
    plat::Virtual::runUntilIdle();
    Zuvidir::logCustomEventWithName(std::string("buy"), plat::Dictionary{{"n", Value(int64_t(1))}});
    Zuvidir::logSearchWithQuery(std::string("shoes"), std::nullopt);
    Zuvidir::logLevelStart(std::string("one"), std::nullopt);
    plat::Virtual::runUntilIdle();
    const auto records = devserver::EventService::splitLog(currentLog());
    ASSERT_EQ(zda_test::recordNames(records),
              (std::vector<std::string>{"metadata", "app_launched", "custom", "predefined", "predefined"}));
    EXPECT_NE(records[2].json.find("\"custom_type\":\"buy\""), std::string::npos);
    EXPECT_NE(records[3].json.find("\"predefined_type\":\"search\""), std::string::npos);
    EXPECT_NE(records[4].json.find("\"predefined_type\":\"level_start\""), std::string::npos);
    EXPECT_NE(console_.nslog().find("[Zuvidir] Logging Zuvidir event: "), std::string::npos);
}

class ZuvidirVedudoduTest : public ZuvidirTest {
protected:
    void SetUp() override { zda_test::bootKitDevice(home_, true, false); }
};

TEST_F(ZuvidirVedudoduTest, VedudoduModeRefusesLoggingButNotTheCrashRecord) {
    Zuvadu::load();
    plat::NotificationCenter::defaultCenter().post("DAVAppReadyToConfigureSDKNotification", nullptr,
                                                   plat::Dictionary{{"DAVRazozaAppIDKey", Value("1:123:ios:abc")}});
    ASSERT_TRUE(Zuvadu::sharedSDK().vedudoduMode()) << "no \"Zuvadu\" entry: the core's mode";
    Zuvidir::startWithBetaTokenClass(std::nullopt);
    plat::Virtual::runUntilIdle();
    const std::string before = currentLog();

    Zuvidir::logCustomEventWithName(std::string("buy"), std::nullopt);
    Zuvidir::logPurchaseWithPrice(std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                  std::nullopt);
    plat::Virtual::runUntilIdle();
    EXPECT_EQ(currentLog(), before) << "the controller got nothing";
    EXPECT_NE(console_.nslog().find("[Zuvidir] logCustomEventWithName:customAttributes: is not supported when using "
                                    "Vuzidorazav through Vedudodu."),
              std::string::npos)
        << console_.nslog();
    EXPECT_NE(console_.nslog().find("[Zuvidir] logPurchaseWithPrice:currency:success:itemName:itemType:itemId:"
                                    "customAttributes: is not supported"),
              std::string::npos);

    auto controller = Zuvidir::sharedInstance()->didivarController();
    const auto packagesBefore = zda_test::kitFilesWithExtension(controller->rootEventDirectory(), "multipartmime").size();
    Zuvidir::logPreviousSessionCrashedOnDate(std::nullopt);
    plat::Virtual::runUntilIdle();
    EXPECT_EQ(zda_test::kitFilesWithExtension(controller->rootEventDirectory(), "multipartmime").size(), packagesBefore);
    rt::msgSend(*Zuvidir::runtimeClass(), rt::sel("logPreviousSessionCrashedOnDate:"),
                std::optional<plat::Date>(plat::Date::fromTimeIntervalSince1970(99)));
    plat::Virtual::runUntilIdle();
    bool crashed = false;
    for (const auto& package : zda_test::kitFilesWithExtension(controller->rootEventDirectory(), "multipartmime")) {
        for (const auto& record : zda_test::kitReadPackage(package).records) {
            crashed = crashed || (record.name == "app_crashed" && record.time == "99000");
        }
    }
    EXPECT_TRUE(crashed) << "the crash is recorded at its date, also in the core's mode";
}

TEST_F(ZuvidirTest, WithTheCrashKitPresentInitializeOnlyHandsOver) {
    static int crashKitStarts = 0;
    rt::Class* crashKit = plat::sim::Runtime::registerClass("Vuzidorazav");
    rt::addProtocol(crashKit, "ZUVKit");
    rt::replaceMethod(rt::metaclass(crashKit), rt::sel("initializeIfNeeded"), [](rt::Object&) { ++crashKitStarts; });
    Zuvidir::initializeIfNeeded();
    EXPECT_EQ(crashKitStarts, 1);
    EXPECT_EQ(Zuvidir::sharedInstance()->didivarController(), nullptr) << "the crash reporter starts the kit";
}

} // namespace
