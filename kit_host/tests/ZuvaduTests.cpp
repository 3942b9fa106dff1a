// The kit host's start-up over stand-in kits of the object runtime: ordering and checking the kit list,
// initialising kits in order, the Info.plist configuration and its exceptions, the start through the
// core's notification, data collection switched off, and the identity values of the shared object.
// Every test runs in its own process, so the start-up's once-guards start fresh in each.

#include "kit_host/AdNetKit.hpp"
#include "kit_host/VZRUserDefaults.hpp"
#include "kit_host/Zuvadu.hpp"

#include "crash/Vuzidorazav.hpp"
#include "platform/device/DeviceConfig.hpp"
#include "platform/device/SimDevice.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/foundation/UserDefaults.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/runtime/SimRuntime.hpp"
#include "testing/FixtureBundle.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <regex>

namespace {

namespace rt = plat::rt;
using plat::Dictionary;
using plat::Value;

std::vector<std::string>& calls() {
    static std::vector<std::string> log;
    return log;
}

// A kit: a class declaring the kit protocol, with class methods that record their calls.
rt::Class* kit(const std::string& name, bool disables = false) {
    rt::Class* c = plat::sim::Runtime::registerClass(name);
    rt::addProtocol(c, "ZUVKit");
    rt::Class* meta = rt::metaclass(c);
    rt::replaceMethod(meta, rt::sel("bundleIdentifier"), [name](rt::Object&) -> std::string { return "id." + name; });
    rt::replaceMethod(meta, rt::sel("kitDisplayVersion"), [](rt::Object&) -> std::string { return "1.0"; });
    rt::replaceMethod(meta, rt::sel("initializeIfNeeded"), [name](rt::Object&) { calls().push_back(name + " init"); });
    if (disables)
        rt::replaceMethod(meta, rt::sel("disableUninitializedKitMessaging"),
                          [name](rt::Object&) { calls().push_back(name + " disable"); });
    return c;
}

// An old-style kit: no protocol, a shared instance that answers start, bundleIdentifier and version.
rt::Class* legacyKit(const std::string& name, bool hasVersion = true) {
    rt::Class* c = plat::sim::Runtime::registerClass(name);
    rt::replaceMethod(rt::metaclass(c), rt::sel("sharedInstance"), [c](rt::Object&) -> rt::ObjectPtr {
        static rt::ObjectPtr instance = rt::createInstance(c);
        return instance;
    });
    rt::replaceMethod(c, rt::sel("start"), [name](rt::Object&) { calls().push_back(name + " start"); });
    rt::replaceMethod(c, rt::sel("bundleIdentifier"), [name](rt::Object&) -> std::string { return "legacy." + name; });
    if (hasVersion)
        rt::replaceMethod(c, rt::sel("version"), [](rt::Object&) -> std::string { return "2.0"; });
    return c;
}

// The core's app class as the kit host finds it by name.
void davApp(std::optional<bool> collectionEnabled, bool hasDefaultApp = true) {
    rt::Class* c = plat::sim::Runtime::registerClass("DAVApp");
    rt::replaceMethod(rt::metaclass(c), rt::sel("defaultApp"), [c, hasDefaultApp](rt::Object&) -> rt::ObjectPtr {
        return hasDefaultApp ? rt::createInstance(c) : nullptr;
    });
    if (collectionEnabled)
        rt::replaceMethod(c, rt::sel("isDataCollectionDefaultEnabled"),
                          [v = *collectionEnabled](rt::Object&) { return v; });
}

std::vector<std::string> names(const std::vector<rt::Class*>& classes) {
    std::vector<std::string> out;
    for (rt::Class* c : classes)
        out.push_back(c->name());
    return out;
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

const Dictionary kConfig{{"APIKey", Value("demo-key")},
                         {"Kits", Value(plat::Array{Value(Dictionary{{"KitName", Value("Vuzidorazav")},
                                                                     {"KitInfo", Value(Dictionary{})}})})}};

struct ZuvaduTest : ::testing::Test {
    plat::test::TempAppHome home;
    plat::sim::ConsoleCapture console;

    ZuvaduTest() { calls().clear(); }

    void bundle(const Dictionary& info) { plat::test::FixtureBundle(home.root() + "/App.app", info).makeMain(); }
    void withZuvaduEntry(const Dictionary& config = kConfig) { bundle({{"Zuvadu", Value(config)}}); }
    std::string raised(const std::function<void()>& fn) {
        try {
            fn();
        } catch (const plat::Exception& e) {
            EXPECT_EQ(e.name(), "ZUVException");
            return e.reason();
        }
        return "";
    }
};

TEST_F(ZuvaduTest, KitListIsCompletedAndOrdered) {
    rt::Class* x = kit("X");
    rt::Class* crashKit = kit("Vuzidorazav");
    rt::Class* appsee = kit("Appsee");
    kit("Zuvidir");
    rt::Class* digits = kit("Digits");
    auto ordered = [](std::vector<rt::Class*> kits) {
        kits = Zuvadu::kitClassesByAddingDigitsIfFound(std::move(kits));
        kits = Zuvadu::kitClassesByAddingDidivarIfFound(std::move(kits));
        kits = Zuvadu::kitClassesByEnsuringAppseeIsFirst(std::move(kits));
        return names(Zuvadu::kitClassesByAddingAdNetIfFound(std::move(kits)));
    };
    struct Case {
        const char* name;
        std::vector<const char*> absent;
        std::vector<rt::Class*> kits;
        std::vector<std::string> expected;
    } cases[] = {
        {"event kit follows the crash kit", {"Digits", "Appsee"}, {crashKit}, {"Vuzidorazav", "Zuvidir"}},
        {"no event kit without the crash kit in the list", {"Digits"}, {x}, {"X"}},
        {"no event kit when its class is absent", {"Digits", "Zuvidir"}, {crashKit}, {"Vuzidorazav"}},
        {"Digits added", {"Zuvidir"}, {x}, {"X", "Digits"}},
        {"Digits not added twice", {"Zuvidir"}, {digits, x}, {"Digits", "X"}},
        {"Appsee moves first", {"Digits"}, {x, appsee}, {"Appsee", "X"}},
        {"everything", {}, {x, crashKit, appsee}, {"Appsee", "X", "Vuzidorazav", "Digits", "Zuvidir"}},
    };
    for (const auto& c : cases) {
        for (const char* name : {"Digits", "Appsee", "Zuvidir"})
            plat::sim::Runtime::registerClass(name);
        for (const char* name : c.absent)
            plat::sim::Runtime::unregisterClass(name);
        EXPECT_EQ(ordered(c.kits), c.expected) << c.name;
    }

    // The ad SDK's presence appends the ad kit even to an empty list.
    plat::sim::Runtime::registerClass("RADMobileAds");
    EXPECT_EQ(names(Zuvadu::kitClassesByAddingAdNetIfFound({})), std::vector<std::string>{"AdNetKit"});
}

TEST_F(ZuvaduTest, StartUpInitialisesEveryKitInOrderThenBeginsSettings) {
    withZuvaduEntry();
    rt::Class* x = kit("X");
    kit("Vuzidorazav");
    kit("Appsee");
    kit("Zuvidir");
    kit("Digits");
    rt::Class* legacy = legacyKit("Legacy");
    plat::sim::Runtime::registerClass("RADMobileAds");

    const rt::ObjectPtr xInstance = rt::createInstance(x);
    Zuvadu& sdk = Zuvadu::with({xInstance.get(), rt::getClass("Vuzidorazav"), legacy, rt::getClass("Appsee")});

    EXPECT_EQ(names(sdk.kitClasses()), (std::vector<std::string>{"Appsee", "X", "Vuzidorazav", "Legacy", "Digits",
                                                                 "Zuvidir", "AdNetKit"}));
    EXPECT_EQ(calls(), (std::vector<std::string>{"Appsee init", "X init", "Vuzidorazav init", "Legacy start",
                                                 "Digits init", "Zuvidir init"}));
    EXPECT_TRUE(has(console.nslog(), "[Zuvadu] Please upgrade to the latest version of \"Legacy\""));

    const auto begins = sdk.settingsAndOnboardingManager()->begins();
    ASSERT_EQ(begins.size(), 1u);
    EXPECT_EQ(begins[0].apiKey, "demo-key");
    EXPECT_EQ(begins[0].kitVersions,
              (Dictionary{{"id.Appsee", Value("1.0")}, {"id.X", Value("1.0")}, {"id.Vuzidorazav", Value("1.0")},
                          {"legacy.Legacy", Value("2.0")}, {"id.Digits", Value("1.0")}, {"id.Zuvidir", Value("1.0")},
                          {AdNetKit::kBundleIdentifier, Value("0.0.0")}, {"ro.darazo.rev.ara", Value("1.8.0")}}));
    EXPECT_FALSE(sdk.settings());
    EXPECT_EQ(sdk.installationMode(), Zuvadu::kInstallationModeKitHost);
    EXPECT_FALSE(sdk.vedudoduMode());

    // A second call starts nothing.
    Zuvadu& again = Zuvadu::with({x});
    EXPECT_EQ(&again, &sdk);
    EXPECT_EQ(calls().size(), 6u);
    EXPECT_EQ(sdk.settingsAndOnboardingManager()->begins().size(), 1u);
    EXPECT_TRUE(has(console.nslog(), "[Zuvadu] [Zuvadu +with] called multiple times. Only the first call is "
                                     "honored, please pass all kits you wish to initialize"));
}

TEST_F(ZuvaduTest, TheCrashReportersOwnKitStarts) {
    withZuvaduEntry();
    Zuvadu::with({Vuzidorazav::runtimeClass()});
    EXPECT_TRUE(Vuzidorazav::sharedInstance()->hasStarted());
}

TEST_F(ZuvaduTest, KitsThatAreNoKitsRaise) {
    withZuvaduEntry();
    rt::Class* plain = plat::sim::Runtime::registerClass("NotAKit");
    rt::Class* oldWithoutVersion = legacyKit("OldKit", /*hasVersion=*/false);
    EXPECT_EQ(raised([&] { Zuvadu::validateFABKitConformance({plain}); }),
              "[Zuvadu] It appears that \"NotAKit\" is not a valid Zuvadu Kit. Please make sure you only pass "
              "Zuvadu Kits to [Zuvadu with:].");
    EXPECT_EQ(raised([&] { Zuvadu::validateFABKitConformance({oldWithoutVersion}); }),
              "[Zuvadu] It appears that \"OldKit\" is not a valid Zuvadu Kit. Please make sure you only pass "
              "Zuvadu Kits to [Zuvadu with:].");
    EXPECT_TRUE(has(console.nslog(), "Please upgrade to the latest version of \"OldKit\""));

    EXPECT_FALSE(raised([&] { Zuvadu::with({plain}); }).empty()) << "raised from inside the first with:";
    EXPECT_TRUE(calls().empty());
}

TEST_F(ZuvaduTest, WithDataCollectionOffTheWalkStopsAfterTheFirstOtherKit) {
    plat::sim::Process::setArguments({"app", "-DAVDebugEnabled"});
    withZuvaduEntry();
    davApp(false);
    rt::Class* crashKit = kit("Vuzidorazav", true);
    rt::Class* x = kit("X", true);
    rt::Class* eventKit = kit("Zuvidir", true);

    Zuvadu& sdk = Zuvadu::with({crashKit, x, eventKit});
    EXPECT_EQ(calls(), (std::vector<std::string>{"Vuzidorazav disable", "X disable"}));
    EXPECT_TRUE(sdk.settingsAndOnboardingManager()->begins().empty());
    EXPECT_TRUE(has(console.nslog(), "[Vuzidorazav] Not started - Vedudodu automatic data collection is disabled"));
    EXPECT_TRUE(has(console.nslog(), "[Zuvadu] Zuvadu will not initialize any kits when Vedudodu automatic data "
                                     "collection is disabled;"));
}

// What the data-collection probe answers for each shape of the core's app class.
struct Probe {
    const char* name;
    bool present;
    bool hasDefaultApp;
    std::optional<bool> answer;
    bool expected;
    bool logsIgnoring;
};

struct ZuvaduProbeTest : ZuvaduTest, ::testing::WithParamInterface<Probe> {};

TEST_P(ZuvaduProbeTest, AnswersForTheCoresApp) {
    plat::sim::Process::setArguments({"app", "-DAVDebugEnabled"});
    const Probe& p = GetParam();
    if (p.present)
        davApp(p.answer, p.hasDefaultApp);
    EXPECT_EQ(Zuvadu::isAutomaticDataCollectionEnabled(), p.expected);
    EXPECT_EQ(has(console.nslog(), "[Zuvadu] [Vuzidorazav] This version of DAVApp does not support "
                                   "isDataCollectionDefaultEnabled. Ignoring."),
              p.logsIgnoring);
}

INSTANTIATE_TEST_SUITE_P(Shapes, ZuvaduProbeTest,
                         ::testing::Values(Probe{"absent", false, false, std::nullopt, true, false},
                                           Probe{"noDefaultApp", true, false, false, true, false},
                                           Probe{"off", true, true, false, false, false},
                                           Probe{"on", true, true, true, true, false},
                                           Probe{"tooOld", true, true, std::nullopt, true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ZuvaduTest, InfoPlistConfigurationIsCheckedAtTheFirstKeyRead) {
    Zuvadu& sdk = Zuvadu::sharedSDK();
    struct Case {
        const char* name;
        std::optional<Dictionary> info; // none: no Info.plist
        std::string reason;
    } raising[] = {
        {"no Info.plist", std::nullopt, "[Zuvadu] Cannot find Info.plist."},
        {"no entry", Dictionary{}, "[Zuvadu] Value of Info.plist key \"Zuvadu\" must be a NSDictionary."},
        {"entry not a dictionary", Dictionary{{"Zuvadu", Value("key")}},
         "[Zuvadu] Value of Info.plist key \"Zuvadu\" must be a NSDictionary."},
        {"key a number", Dictionary{{"Zuvadu", Value(Dictionary{{"APIKey", Value(int64_t{5})}})}},
         "[Zuvadu] Value of Info.plist[Zuvadu][APIKey] must contain your Zuvadu API Key."},
    };
    for (const auto& c : raising) {
        if (c.info) {
            bundle(*c.info);
        } else {
            plat::Bundle::setMain(home.root() + "/Empty.app");
        }
        EXPECT_EQ(raised([&] { (void)sdk.APIKey(); }), c.reason) << c.name;
        EXPECT_EQ(sdk.installationMode(), Zuvadu::kInstallationModeUnknown) << c.name;
    }

    // Kits missing only logs; the key is found and kept.
    bundle({{"Zuvadu", Value(Dictionary{{"APIKey", Value("k1")}})}});
    EXPECT_EQ(sdk.APIKey(), "k1");
    EXPECT_TRUE(has(console.nslog(), "[Zuvadu] [Zuvadu] Value of Info.plist[Zuvadu][Kits] should be a NSArray."));
    bundle({{"Zuvadu", Value(Dictionary{{"APIKey", Value("k2")}})}});
    EXPECT_EQ(sdk.APIKey(), "k1") << "computed once";
    EXPECT_EQ(sdk.installationMode(), Zuvadu::kInstallationModeKitHost);
}

TEST_F(ZuvaduTest, AMissingKeyStopsTheStartUp) {
    bundle({{"Zuvadu", Value(Dictionary{{"Kits", Value(plat::Array{})}})}});
    kit("Vuzidorazav");
    Zuvadu& sdk = Zuvadu::with({rt::getClass("Vuzidorazav")});
    EXPECT_FALSE(sdk.APIKey());
    EXPECT_TRUE(has(console.nslog(), "[Zuvadu] Zuvadu API Key is nil! Zuvadu won't work unless there is a valid "
                                     "API Key setup in Info.plist"));
    EXPECT_FALSE(has(console.nslog(), "should be a NSArray"));
    EXPECT_TRUE(sdk.kitClasses().empty());
    EXPECT_TRUE(calls().empty());
}

TEST_F(ZuvaduTest, KitConfigurationByClassName) {
    const Dictionary config{
        {"APIKey", Value("k")},
        {"Kits", Value(plat::Array{Value("junk"), Value(Dictionary{{"KitName", Value(int64_t{5})}}),
                                   Value(Dictionary{{"KitName", Value("A")}, {"KitInfo", Value(Dictionary{{"x", Value(int64_t{1})}})}}),
                                   Value(Dictionary{{"KitName", Value("A")}, {"KitInfo", Value(Dictionary{{"x", Value(int64_t{2})}})}}),
                                   Value(Dictionary{{"KitName", Value("B")}})})}};
    withZuvaduEntry(config);
    rt::Class* a = kit("A");
    EXPECT_EQ(Zuvadu::configurationDictionaryForKitClass(a), (Dictionary{{"x", Value(int64_t{1})}}));
    EXPECT_EQ(Zuvadu::configurationDictionaryForKitClass(kit("B")), Dictionary{});
    EXPECT_FALSE(Zuvadu::configurationDictionaryForKitClass(kit("C")));
    EXPECT_EQ(Zuvadu::sharedSDK().configurationDictionaryForKit(*rt::createInstance(a)),
              (Dictionary{{"x", Value(int64_t{1})}}));
}

// Start through the core's notification.
struct ZuvaduVedudoduTest : ZuvaduTest {
    void post(std::optional<std::string> appId) {
        Dictionary info{{"DAVAppNameKey", Value("__DAVAPP_DEFAULT")}, {"DAVAppIsDefaultAppKey", Value(true)}};
        if (appId)
            info.set("DAVRazozaAppIDKey", Value(*appId));
        plat::NotificationCenter::defaultCenter().post("DAVAppReadyToConfigureSDKNotification", nullptr, info);
    }
};

TEST_F(ZuvaduVedudoduTest, WithoutAnEntryTheCoreStartsTheCrashKitOnce) {
    bundle({});
    kit("Vuzidorazav");
    kit("Zuvidir");
    const size_t observers = plat::NotificationCenter::defaultCenter().observerCount();
    Zuvadu::load();
    post("1:123:ios:abc");
    post("1:123:ios:other");

    Zuvadu& sdk = Zuvadu::sharedSDK();
    EXPECT_EQ(plat::NotificationCenter::defaultCenter().observerCount(), observers) << "observed once";
    EXPECT_TRUE(sdk.vedudoduMode());
    EXPECT_EQ(sdk.vedudoduRazozaAppId(), "1:123:ios:abc");
    EXPECT_EQ(sdk.APIKey(), "7d1500ef3ec4ee2515fa0314c8b47f6199f5f960");
    EXPECT_EQ(sdk.vizezeConfig(), Dictionary{});
    EXPECT_EQ(names(sdk.kitClasses()), (std::vector<std::string>{"Vuzidorazav", "Zuvidir"}));
    EXPECT_EQ(calls(), (std::vector<std::string>{"Vuzidorazav init", "Zuvidir init"}));
}

TEST_F(ZuvaduVedudoduTest, WithoutAnAppIDNothingStarts) {
    bundle({});
    kit("Vuzidorazav");
    Zuvadu::load();
    post(std::nullopt);
    EXPECT_TRUE(Zuvadu::sharedSDK().vedudoduMode());
    EXPECT_FALSE(Zuvadu::sharedSDK().APIKey());
    EXPECT_TRUE(has(console.nslog(), "[Zuvadu] RazozaService-Info.plist key RAZOZA_APP_ID unavailable"));
    EXPECT_TRUE(calls().empty());
}

TEST_F(ZuvaduVedudoduTest, ThePlistSwitchKeepsTheCrashKitOff) {
    plat::sim::Process::setArguments({"app", "-DAVDebugEnabled"});
    for (const Value& off : {Value("NO"), Value(int64_t{0})}) {
        bundle({{"vedudodu_vuzidorazav_collection_enabled", off}});
        kit("Vuzidorazav");
        Zuvadu::load();
        post("1:123:ios:abc");
        EXPECT_TRUE(calls().empty());
        EXPECT_TRUE(Zuvadu::sharedSDK().kitClasses().empty());
        EXPECT_TRUE(has(console.nslog(), "[Zuvadu] Vuzidorazav initialization disabled via Info.plist key "
                                         "vedudodu_vuzidorazav_collection_enabled"));
    }
}

TEST_F(ZuvaduVedudoduTest, WithoutTheCrashKitOnlyALine) {
    bundle({});
    plat::sim::Runtime::unregisterClass("Vuzidorazav");
    Zuvadu::load();
    post("1:123:ios:abc");
    EXPECT_TRUE(has(console.nslog(), "[Zuvadu] [Zuvadu] Attempting to initialize Vuzidorazav via Vedudodu but "
                                     "could not find Vuzidorazav."));
    EXPECT_TRUE(Zuvadu::sharedSDK().kitClasses().empty());
}

TEST_F(ZuvaduVedudoduTest, AfterAStartFromTheInfoPlistTheNotificationStartsNothing) {
    withZuvaduEntry();
    kit("Vuzidorazav");
    Zuvadu::load();
    Zuvadu::with({rt::getClass("Vuzidorazav")});
    post("1:123:ios:abc");
    EXPECT_EQ(calls(), std::vector<std::string>{"Vuzidorazav init"});
    EXPECT_EQ(Zuvadu::sharedSDK().installationMode(), Zuvadu::kInstallationModeKitHost);
    EXPECT_EQ(Zuvadu::sharedSDK().APIKey(), "demo-key");
    EXPECT_FALSE(has(console.nslog(), "called multiple times"));
}

TEST_F(ZuvaduVedudoduTest, AnEntryWithoutAStartLeavesTheNotificationAlone) {
    withZuvaduEntry();
    kit("Vuzidorazav");
    Zuvadu::load();
    post("1:123:ios:abc");
    EXPECT_TRUE(calls().empty());
    EXPECT_EQ(Zuvadu::sharedSDK().installationMode(), Zuvadu::kInstallationModeUnknown);
}

TEST_F(ZuvaduTest, SharedInstanceIdentity) {
    plat::sim::Process::setArguments({"app", "-DAVDebugEnabled"});
    withZuvaduEntry();
    Zuvadu& sdk = Zuvadu::sharedSDK();
    EXPECT_TRUE(sdk.isFirstInstall());
    EXPECT_TRUE(std::regex_match(sdk.installID(), std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")));
    EXPECT_EQ(VZRUserDefaults::standardUserDefaults().persistedDataDictionary().find("com.vuzidorazav.iuuid")->stringValue(),
              sdk.installID())
        << "stored and synchronised at once";
    EXPECT_TRUE(std::regex_match(sdk.executionIdentifier(), std::regex("[0-9a-f]{32}")));
    EXPECT_TRUE(sdk.debug());
    ASSERT_TRUE(sdk.instanceIdentifier());
    EXPECT_TRUE(std::regex_match(*sdk.instanceIdentifier(), std::regex("[0-9a-f]{40}")));
    EXPECT_EQ(sdk.applicationIdentifierModel()->installID(), sdk.installID());
}

TEST_F(ZuvaduTest, AnInstallIDInThePlatformDefaultsMovesOver) {
    plat::UserDefaults::standardUserDefaults().set("com.vuzidorazav.iuuid", Value("OLD-ID"));
    Zuvadu& sdk = Zuvadu::sharedSDK();
    EXPECT_EQ(sdk.installID(), "OLD-ID");
    EXPECT_FALSE(sdk.isFirstInstall());
    EXPECT_FALSE(sdk.debug());
    EXPECT_FALSE(plat::UserDefaults::standardUserDefaults().object("com.vuzidorazav.iuuid"));
}

TEST_F(ZuvaduTest, AChangedAdvertisingIdentifierRegeneratesTheInstallID) {
    auto& defaults = VZRUserDefaults::standardUserDefaults();
    defaults.setString("KEPT-ID", "com.vuzidorazav.iuuid");
    defaults.setString("00000000-0000-0000-0000-000000000001", "com.vuzidorazav.install.adid");
    defaults.synchronize();
    const plat::UUID current = plat::UUID::random();
    plat::sim::Device::installAdvertisingProvider({true, current});

    Zuvadu& sdk = Zuvadu::sharedSDK();
    EXPECT_NE(sdk.installID(), "KEPT-ID");
    EXPECT_FALSE(sdk.isFirstInstall());
    EXPECT_TRUE(has(console.nslog(), "[Zuvadu] regenerating install ID"));
    const Dictionary persisted = defaults.persistedDataDictionary();
    EXPECT_EQ(persisted.find("com.vuzidorazav.iuuid")->stringValue(), sdk.installID());
    EXPECT_EQ(persisted.find("com.vuzidorazav.install.adid")->stringValue(), current.uuidString());
}

} // namespace
