// The beta-update check: the tester's token from the app's font table, who gets a beta controller, the
// request to devserver's beta service with its header fields, the offer and its answers, and the pause after
// a successful check.

#include "crash/VZRBetaController.hpp"

#include "kit_host/tests/ShimTestSupport.hpp"

#include "devserver/BetaRoutes.hpp"
#include "devserver/Server.hpp"
#include "platform/device/Boot.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/net/SimNetwork.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/SimApp.hpp"
#include "platform/uikit/UIAlert.hpp"
#include "platform/uikit/UIRecorder.hpp"
#include "testing/FixtureBundle.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <cctype>
#include <string>

namespace {

void betaAppend32(std::string& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out += static_cast<char>((value >> shift) & 0xFF);
}

std::string betaTable(uint32_t version, uint32_t length, const std::string& text) {
    std::string table;
    betaAppend32(table, version);
    betaAppend32(table, length);
    return table + text;
}

// A font file holding only the 'CRSH' table.
std::string betaFont(const std::string& table) {
    std::string font;
    betaAppend32(font, 0x00010000);
    font += std::string("\x00\x01\x00\x10\x00\x00\x00\x00", 8); // one table
    betaAppend32(font, 0x43525348);
    betaAppend32(font, 0);
    betaAppend32(font, 28);
    betaAppend32(font, static_cast<uint32_t>(table.size()));
    return font + table;
}

plat::Data betaData(const std::string& text) {
    return plat::Data(text.begin(), text.end());
}

class BetaTestDelegate : public VZRBetaControllerDelegate {
public:
    std::optional<plat::Dictionary> settingsDictionary;
    std::optional<std::string> APIKeyForBetaController(VZRBetaController&) override {
        return "0123456789abcdef0123456789abcdef01234567";
    }
    VZRSettings settingsForBetaController(VZRBetaController&) override { return VZRSettings(settingsDictionary); }
};

TEST(BetaToken, TheFontTableGivesTheTokenOnlyWhenWellFormed) {
    const struct {
        const char* name;
        std::string table;
        std::optional<std::string> token;
    } cases[] = {
        {"version 1", betaTable(1, 5, "TOKEN"), "2:TOKEN"},
        {"trailing bytes", betaTable(1, 3, "TOKEN"), "2:TOK"},
        {"empty text", betaTable(1, 0, ""), "2:"},
        {"version 2", betaTable(2, 5, "TOKEN"), std::nullopt},
        {"length past the end", betaTable(1, 6, "TOKEN"), std::nullopt},
        {"huge length", betaTable(1, 0xFFFFFFFF, "TOKEN"), std::nullopt},
        {"not ASCII", betaTable(1, 2, "\xC3\xA9"), std::nullopt},
        {"shorter than its header", std::string("\x00\x00\x00\x01", 4), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(VZRBetaController::betaTokenFromTable(betaData(c.table)), c.token);
    }
}

TEST(BetaUpdate, AnAnswerWithoutAUsableURLIsAnError) {
    const struct {
        const char* body;
        bool usable;
    } cases[] = {
        {R"j({"url":"https://beta.example.test/install/7","version_string":"2.0 (7)"})j", true},
        {R"({"url":"https://beta.example.test/install/7"})", true},
        {R"({"version_string":"2.0"})", false},
        {R"({"url":"not a url at all"})", false},
        {R"({"url":42})", false},
        {R"(["https://beta.example.test/"])", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        auto update = VZRBetaController::updateWithData(betaData(c.body));
        EXPECT_EQ(update.ok(), c.usable);
        if (!update.ok()) {
            EXPECT_EQ(update.error().domain, plat::NSURLErrorDomain);
            EXPECT_EQ(update.error().code, -1017);
        }
    }
    auto parsed = VZRBetaController::updateWithData(betaData("no json"));
    ASSERT_FALSE(parsed.ok());
    EXPECT_NE(parsed.error().code, -1017);
}

class BetaControllerTest : public ::testing::Test {
protected:
    void bootWith(plat::Dictionary info, std::optional<std::string> font, std::string osVersion = "12.4") {
        plat::sim::Process::setArguments({"portal-app", "-DAVDebugEnabled"});
        info.set("CFBundleIdentifier", plat::Value("com.example.beta"));
        info.set("CFBundleVersion", plat::Value("7"));
        info.set("CFBundleShortVersionString", plat::Value("2.0"));
        bundle = std::make_unique<plat::test::FixtureBundle>(home.root() + "/App.app", info);
        if (font)
            bundle->add("Vuzidorazav.ttf", *font);
        plat::DeviceConfig config;
        config.appHome = home.home();
        config.bundlePath = home.root() + "/App.app";
        config.osVersion = osVersion;
        ASSERT_TRUE(plat::boot(config).ok());
        if (!plat::rt::getClass("BetaTestAppDelegate"))
            plat::rt::registerClass("BetaTestAppDelegate");
        ASSERT_TRUE(plat::sim::App::launch("BetaTestAppDelegate"));
        plat::Virtual::runUntilIdle();
    }
    void serve() {
        service = devserver::installBetaRoutes(server);
        ASSERT_TRUE(server.start()) << server.error();
        const std::string ca = home.root() + "/devserver-ca.pem";
        ASSERT_TRUE(server.writeCa(ca));
        plat::sim::Network::setCAFile(ca);
        plat::sim::Network::setResolve(server.resolveEntry(devserver::kBetaHost));
    }
    void TearDown() override { server.stop(); }
    std::shared_ptr<VZRBetaController> makeController() {
        controller = VZRBetaController::initWithDelegate(delegate);
        return controller;
    }
    bool waitFor(const std::function<bool()>& done) {
        return plat::Virtual::runUntil(done, 10.0);
    }
    static size_t alertCount() { return plat::sim::UIRecorder::shared().alerts().size(); }
    // The next alert shown after `before` were.
    std::optional<plat::sim::AlertRecord> shownAlert(size_t before = 0) {
        if (!waitFor([&] {
                plat::Virtual::runUntilIdle();
                return alertCount() > before;
            }))
            return std::nullopt;
        return plat::sim::UIRecorder::shared().alerts().back();
    }

    const plat::Dictionary signedForDistribution{{"VuzidorazavSignedForDistribution", plat::Value(true)}};
    plat::test::TempAppHome home;
    std::unique_ptr<plat::test::FixtureBundle> bundle;
    devserver::Server server;
    std::shared_ptr<devserver::BetaService> service;
    std::shared_ptr<BetaTestDelegate> delegate = std::make_shared<BetaTestDelegate>();
    std::shared_ptr<VZRBetaController> controller;
    plat::sim::ConsoleCapture console;
};

TEST_F(BetaControllerTest, OnlyABuildSignedForDistributionWithATokenStarts) {
    bootWith(signedForDistribution, betaFont(betaTable(1, 5, "TOKEN")));
    EXPECT_TRUE(VZRBetaController::isBetaSupported());
    makeController();
    EXPECT_EQ(controller->betaToken(), "2:TOKEN");
    EXPECT_TRUE(controller->start());
}

TEST_F(BetaControllerTest, AFontOfAnotherVersionGivesNoTokenAndNoStart) {
    bootWith(signedForDistribution, betaFont(betaTable(2, 5, "TOKEN")));
    makeController();
    EXPECT_FALSE(controller->betaToken());
    EXPECT_FALSE(controller->start());
}

TEST_F(BetaControllerTest, AStoreBuildOrAnExtensionHasNoBetaCheck) {
    plat::Dictionary extension = signedForDistribution;
    extension.set("NSExtension", plat::Value(plat::Dictionary{
                                     {"NSExtensionPointIdentifier", plat::Value("com.apple.widget-extension")}}));
    bootWith(extension, betaFont(betaTable(1, 5, "TOKEN")));
    EXPECT_FALSE(VZRBetaController::isBetaSupported());
}

TEST_F(BetaControllerTest, AnInstallFromTheStoreHasNoBetaCheck) {
    // The kit host counts a store receipt from OS 7 to OS 10 only.
    bootWith(signedForDistribution, betaFont(betaTable(1, 5, "TOKEN")), "10.3");
    EXPECT_TRUE(VZRBetaController::isBetaSupported());
    const std::string receipt = plat::Bundle::main()->storeReceiptURL();
    std::filesystem::create_directories(std::filesystem::path(receipt).parent_path());
    std::ofstream(receipt) << "receipt";
    EXPECT_FALSE(VZRBetaController::isBetaSupported());
}

TEST_F(BetaControllerTest, TheCheckAsksTheServiceAndOffersTheUpdate) {
    bootWith(signedForDistribution, betaFont(betaTable(1, 5, "TOKEN")));
    serve();
    service->setUpdate(devserver::BetaService::Update{"https://beta.example.test/install/7", "2.0 (7)"});
    makeController();
    ASSERT_TRUE(controller->start());
    controller->checkForUpdate();
    auto alert = shownAlert();
    ASSERT_TRUE(alert);
    ASSERT_EQ(service->requests().size(), 1u);
    const auto request = service->requests()[0];
    EXPECT_EQ(request.path, "/spi/v2/platforms/ios/apps/com.example.beta/beta_update_check");
    EXPECT_NE(request.query.find("build_version=7"), std::string::npos);
    EXPECT_NE(request.query.find("display_version=2.0"), std::string::npos);
    EXPECT_NE(request.query.find("source=3"), std::string::npos);
    // The eleven fields in order in the request the controller builds; all of them on the wire (the transport
    // sends fields in an order of its own).
    const std::vector<std::string> fields{"User-Agent", "Accept", "Accept-Charset", "Accept-Language",
                                          "Content-Language", "X-Vuzidorazav-Developer-Token",
                                          "X-Vuzidorazav-API-Client-Id", "X-Vuzidorazav-API-Client-Display-Version",
                                          "X-Vuzidorazav-API-Client-Build-Version", "X-Vuzidorazav-API-Key",
                                          "X-Vuzidorazav-Beta-Token"};
    const auto built = controller->betaUpdateRequest();
    ASSERT_TRUE(built);
    std::vector<std::string> names;
    for (const auto& field : built->allHTTPHeaderFields())
        names.push_back(field.first);
    EXPECT_EQ(names, fields);
    for (const auto& field : fields) {
        std::string lower = field;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
        EXPECT_TRUE(std::any_of(request.headers.begin(), request.headers.end(),
                                [&](const auto& header) { return header.first == lower; }))
            << field;
    }
    for (const auto& [name, value] : request.headers) {
        if (name == "x-vuzidorazav-beta-token") {
            EXPECT_EQ(value, "2:TOKEN");
        }
    }
    EXPECT_EQ(alert->title, "New Build Available");
    EXPECT_NE(alert->message.find("\n2.0 (7)"), std::string::npos);
    EXPECT_EQ(alert->actions, (std::vector<std::string>{"Cancel", "Install"}));
    ASSERT_TRUE(plat::sim::App::tapAlertButton(1));
    plat::Virtual::runUntilIdle();
    const auto opened = plat::sim::UIRecorder::shared().openedURLs();
    ASSERT_FALSE(opened.empty());
    EXPECT_EQ(opened.back().url, "https://beta.example.test/install/7");
    EXPECT_FALSE(controller->activeUpdate());
}

TEST_F(BetaControllerTest, CancelDropsTheUpdateAndABadAnswerShowsNothing) {
    bootWith(signedForDistribution, betaFont(betaTable(1, 5, "TOKEN")));
    serve();
    service->setUpdate(devserver::BetaService::Update{"https://beta.example.test/install/7", std::nullopt});
    makeController();
    ASSERT_TRUE(controller->start());
    controller->checkForUpdate();
    ASSERT_TRUE(shownAlert());
    ASSERT_TRUE(plat::sim::App::tapAlertButton(0));
    plat::Virtual::runUntilIdle();
    EXPECT_TRUE(plat::sim::UIRecorder::shared().openedURLs().empty());
    EXPECT_FALSE(controller->activeUpdate());

    // After the pause, an answer without "url" is logged and offers nothing.
    controller->allowChecks();
    devserver::Reply noURL = devserver::Reply::json(200, R"({"version_string":"3.0"})");
    service->scriptNext(noURL);
    controller->checkForUpdate();
    ASSERT_TRUE(waitFor([&] { return console.nslog().find("Beta update url is invalid") != std::string::npos; }));
    EXPECT_NE(console.nslog().find("[Vuzidorazav:Beta] Unable to read beta update data"), std::string::npos);
    EXPECT_EQ(alertCount(), 1u);
}

TEST_F(BetaControllerTest, AForegroundReturnWithinThePauseSendsNothing) {
    bootWith(signedForDistribution, betaFont(betaTable(1, 5, "TOKEN")));
    serve();
    service->setUpdate(devserver::BetaService::Update{"https://beta.example.test/install/7", "2.0"});
    makeController();
    ASSERT_TRUE(controller->start());
    controller->checkForUpdate();
    ASSERT_TRUE(shownAlert());
    ASSERT_TRUE(plat::sim::App::tapAlertButton(0));
    EXPECT_TRUE(controller->checksSuspended());
    plat::Virtual::advanceBy(3599);
    plat::sim::App::enterBackground();
    plat::sim::App::enterForeground();
    plat::Virtual::runUntil([] { return false; }, 0.3);
    EXPECT_EQ(service->requests().size(), 1u);
    plat::Virtual::advanceBy(2);
    EXPECT_FALSE(controller->checksSuspended());
    plat::sim::App::enterBackground();
    plat::sim::App::enterForeground();
    ASSERT_TRUE(waitFor([&] { return service->requests().size() == 2; }));
}

} // namespace
