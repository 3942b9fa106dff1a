// The portal-app program end to end: the built binary runs scripts against the devserver; standard output
// must be exactly what the shell prints, and the portal must have received exactly the requests the shell
// makes (login page, registration POSTs with their body, type and session cookie).

#include <gtest/gtest.h>

#include "app/console/tests/AppProcess.hpp"
#include "deployment/Deployment.hpp"
#include "devserver/CrashReportRoutes.hpp"
#include "devserver/KitHostRoutes.hpp"
#include "devserver/InstanceIdRoutes.hpp"
#include "devserver/LogRoutes.hpp"
#include "devserver/MeasurementRoutes.hpp"
#include "devserver/PortalRoutes.hpp"
#include "devserver/PushRoutes.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace console::test {
namespace {

const std::string kPortal = "portal.example.test";
const std::string kLoginURL = "https://portal.example.test/login?ignore_ntlm=1/";
const std::string kPlayerId = "5f1c2b3a-acce-4ba7-8c11-0a1b2c3d4e5f";
const std::string kPermissionLine = "User accepted notifications: ";

// The four lines the navigation policy prints for a navigation it keeps in the app or sends to the trace.
std::string trace(const std::string& url, const std::string& host, bool clicked) {
    return "\"URL: " + url + "\"\n\"HOST: " + host + "\"\n\"USER CLICKED: " + (clicked ? "true" : "false") +
           "\"\n\"" + std::string(73, '-') + "\"\n";
}

class PortalApp : public ::testing::Test {
protected:
    struct Launch {
        std::vector<std::string> script;
        std::string osVersion = "12.4";
        std::string bundle = PORTAL_DEMO_BUNDLE_DIR;
        std::vector<std::string> extraArgs;
        std::optional<std::string> stdinText;                 // none: the script goes through --script
        std::optional<std::string> home;                      // none: the test's own
        std::vector<std::pair<std::string, std::string>> env; // replaces the variable of that name

        static Launch of(std::vector<std::string> lines) {
            Launch l;
            l.script = std::move(lines);
            return l;
        }
        static Launch typed(std::string text) {
            Launch l;
            l.stdinText = std::move(text);
            return l;
        }
        static Launch withArgs(std::vector<std::string> args) {
            Launch l;
            l.extraArgs = std::move(args);
            return l;
        }
        Launch os(std::string version) && {
            osVersion = std::move(version);
            return std::move(*this);
        }
        Launch inBundle(std::string folder) && {
            bundle = std::move(folder);
            return std::move(*this);
        }
        Launch inHome(std::string folder) && {
            home = std::move(folder);
            return std::move(*this);
        }
        Launch withEnv(std::string name, std::string value) && {
            env.emplace_back(std::move(name), std::move(value));
            return std::move(*this);
        }
    };

    AppRun run(const Launch& launch) {
        std::vector<std::string> argv = {
            PORTAL_APP_PROGRAM,           "--bundle",     launch.bundle,   "--home",
            launch.home.value_or(home()), "--os-version", launch.osVersion};
        std::string input;
        if (launch.stdinText) {
            input = *launch.stdinText;
        } else {
            std::string text;
            for (const auto& line : launch.script)
                text += line + "\n";
            const std::string path = backend.folder() + "/script.txt";
            writeFile(path, text);
            argv.push_back("--script");
            argv.push_back(path);
        }
        argv.insert(argv.end(), launch.extraArgs.begin(), launch.extraArgs.end());
        auto env = backend.environment();
        for (const auto& [name, value] : launch.env) {
            std::erase_if(env, [&](const std::string& e) { return e.rfind(name + "=", 0) == 0; });
            env.push_back(name + "=" + value);
        }
        return spawnAndCollect(argv, env, input, std::chrono::seconds(60));
    }

    std::string home() const { return backend.folder() + "/home"; }

    // The push client's subscriber identifier, as the push client keeps it in the app's standard defaults.
    void seedPlayerId() {
        writeFile(home() + "/Library/Preferences/test.example.portal.plist",
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                  "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                  "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                  "<plist version=\"1.0\">\n<dict>\n"
                  "\t<key>RV_APP_ID</key>\n\t<string>" +
                      std::string(deployment::kPushAppId) +
                      "</string>\n"
                      "\t<key>RV_PLAYER_ID</key>\n\t<string>" +
                      kPlayerId + "</string>\n</dict>\n</plist>\n");
    }

    // A copy of the demo bundle with another configuration file.
    std::string bundleWithConfig(const std::string& config) {
        const std::string bundle = backend.folder() + "/Bundle";
        std::filesystem::copy(PORTAL_DEMO_BUNDLE_DIR, bundle, std::filesystem::copy_options::recursive);
        writeFile(bundle + "/Config.json", config);
        return bundle;
    }

    // Standard output with the permission answer taken out, so that the tests compare the page's lines alone.
    // It must be there exactly once (where it stands is compared in full by the test of repeated runs).
    static std::string shellLines(const AppRun& r) {
        std::string rest;
        int answers = 0;
        size_t start = 0;
        while (start < r.out.size()) {
            size_t end = r.out.find('\n', start);
            end = end == std::string::npos ? r.out.size() : end + 1;
            const std::string line = r.out.substr(start, end - start);
            if (line.rfind(kPermissionLine, 0) == 0)
                ++answers;
            else
                rest += line;
            start = end;
        }
        EXPECT_EQ(answers, 1) << r.out;
        return rest;
    }

    std::vector<std::string> portalRequests() {
        std::vector<std::string> lines;
        for (const auto& r : backend.requestsTo(kPortal))
            lines.push_back(r.method + " " + r.path + (r.query.empty() ? "" : "?" + r.query));
        return lines;
    }

    // The state report's lines of the last `state` command.
    static std::vector<std::string> lastState(const AppRun& r) {
        const size_t at = r.err.rfind("[device] > state\n");
        std::vector<std::string> lines;
        if (at == std::string::npos)
            return lines;
        size_t start = at + std::string("[device] > state\n").size();
        while (start < r.err.size()) {
            size_t end = r.err.find('\n', start);
            if (end == std::string::npos)
                break;
            const std::string line = r.err.substr(start, end - start);
            if (line.rfind("[device] >", 0) == 0)
                break;
            lines.push_back(line);
            start = end + 1;
        }
        return lines;
    }

    static size_t count(const std::vector<std::string>& lines, const std::string& part) {
        return static_cast<size_t>(std::count_if(
            lines.begin(), lines.end(), [&](const auto& l) { return l.find(part) != std::string::npos; }));
    }

    static size_t occurrences(const std::string& text, const std::string& part) {
        size_t n = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
            ++n;
        return n;
    }

    Backend backend;
};

TEST_F(PortalApp, LaunchLoadsTheLoginPageAndPrintsOnlyItsTrace) {
    auto r = run(Launch::of({"quit"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(shellLines(r), trace(kLoginURL, kPortal, false));
    EXPECT_EQ(portalRequests(), (std::vector<std::string>{"GET /login?ignore_ntlm=1/"}));
    EXPECT_NE(r.err.find("[device] web page loaded (200): " + kLoginURL), std::string::npos) << r.err;
}

TEST_F(PortalApp, LaunchArgumentsReachTheCoreWhoseLinesGoToStandardErrorOnly) {
    auto launch = Launch::of({"quit"});
    launch.extraArgs = {"--", "-DAVDebugEnabled", "-DAVLoggerForceSTDERR"};
    auto r = run(std::move(launch));
    ASSERT_EQ(r.status, 0) << r.err;
    // Debug mode shows the core's debug line, then the analytics client the core starts, in its own service.
    EXPECT_NE(r.err.find("[Vedudodu/Core][I-COR000001] Configuring the default app."), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("[Vedudodu/Core][I-COR000022]"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("[Vedudodu/Analytics][I-ACS023007] Analytics v.50300000 started"), std::string::npos)
        << r.err;
    EXPECT_EQ(shellLines(r), trace(kLoginURL, kPortal, false));
}

TEST_F(PortalApp, AConfigurationWithANonStringValueCountsAsEmptyAndNothingLoads) {
    const std::string bundle = bundleWithConfig(
        R"({"base_url": "https://portal.example.test", "base_url_home_host": "portal.example.test",)"
        R"( "push_notifications_enabled": true})");
    auto r = run(Launch::of({"state", "quit"}).inBundle(bundle));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(shellLines(r), "");
    EXPECT_EQ(portalRequests(), std::vector<std::string>{});
    EXPECT_EQ(count(lastState(r), "WKWebView: (nothing loaded)"), 1u) << r.err;
}

TEST_F(PortalApp, PortalLinksStayInTheAppWithTheirTrace) {
    auto r = run(
        Launch::of({"click https://portal.example.test/help", "click https://docs.portal.example.test/"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(shellLines(r),
              trace(kLoginURL, kPortal, false) + trace("https://portal.example.test/help", kPortal, true) +
                  trace("https://docs.portal.example.test/", "docs.portal.example.test", true));
    EXPECT_EQ(portalRequests(), (std::vector<std::string>{"GET /login?ignore_ntlm=1/", "GET /help"}));
    EXPECT_EQ(backend.requestsTo("docs.portal.example.test").size(), 1u);
}

TEST_F(PortalApp, ExternalLinksOpenOutsideTheAppAndAreCancelled) {
    auto r = run(Launch::of({"click https://www.example.test/", "go https://www.example.test/"}));
    ASSERT_EQ(r.status, 0) << r.err;
    // A followed link away from the portal is decided before the trace; a script navigation is traced and
    // then caught by the external-links list.
    EXPECT_EQ(shellLines(r), trace(kLoginURL, kPortal, false) +
                                 trace("https://www.example.test/", "www.example.test", false));
    EXPECT_EQ(occurrences(r.err, "[device] open URL https://www.example.test/\n"), 2u) << r.err;
    EXPECT_EQ(backend.requestsTo("www.example.test").size(), 0u) << "the web view never loads it";
}

TEST_F(PortalApp, AJavaScriptAlertShowsWithThePortalHostAndIsAnswered) {
    auto r = run(Launch::of({"alert Saved!", "state", "answer OK", "state"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("[device] alert shown: portal.example.test - Saved! [OK]\n"), std::string::npos)
        << r.err;
    EXPECT_EQ(count(lastState(r), "alert:"), 0u) << r.err;
    EXPECT_EQ(shellLines(r), trace(kLoginURL, kPortal, false));
}

TEST_F(PortalApp, RegistrationIsPostedAtEachNavigationDecisionOnceLoggedIn) {
    seedPlayerId();
    auto r = run(Launch::of({"submit /login?ignore_ntlm=1/ user=ada password=secret",
                             "click https://portal.example.test/intranet/news"}));
    ASSERT_EQ(r.status, 0) << r.err;
    const auto registrations = devserver::portalRegistrations(backend.server());
    // Decisions with the session cookie present: the redirect after the login and the click on the news.
    // The last one is answered before the app quits: the console waits for the HTTP client's requests.
    ASSERT_EQ(registrations.size(), 2u) << ::testing::PrintToString(portalRequests()) << "\n" << r.err;
    for (const auto& reg : registrations) {
        EXPECT_EQ(reg.body, "{\"player-id\":\"" + kPlayerId + "\"}");
        EXPECT_EQ(reg.contentType, "application/json");
        EXPECT_EQ(reg.sessionId, "portalsession0000000000001") << reg.cookieHeader;
    }
    // Nothing was posted before the login answered with the session cookie.
    const auto requests = portalRequests();
    const auto login = std::find(requests.begin(), requests.end(), "POST /login?ignore_ntlm=1/");
    const auto first = std::find(requests.begin(), requests.end(), "POST /api/radirivoz/register");
    EXPECT_LT(login - requests.begin(), first - requests.begin());
    // The shell prints nothing for a successful registration.
    EXPECT_EQ(shellLines(r), trace(kLoginURL, kPortal, false) +
                                 trace("https://portal.example.test/login?ignore_ntlm=1/", kPortal, false) +
                                 trace("https://portal.example.test/intranet/", kPortal, false) +
                                 trace("https://portal.example.test/intranet/news", kPortal, true));
}

TEST_F(PortalApp, ThePlayerCreatedAtLaunchIsThePlayerTheShellRegistersWithThePortal) {
    // A store of this test's own for the push service, so its players can be read back.
    const auto push = devserver::installPushRoutes(backend.server());
    // The first launch creates the player; the next one, where the user logs in, reads it back.
    // Long enough for the prompt's answer (1 s) and the token, short of the 25 s after which the client
    // would register without a token.
    auto first = run(Launch::of({"wait 5"}));
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_NE(first.out.find(kPermissionLine + "true\n"), std::string::npos) << first.out;
    auto r = run(Launch::of({"submit /login?ignore_ntlm=1/ user=ada password=secret"}));
    ASSERT_EQ(r.status, 0) << r.err;

    size_t created = 0;
    for (const auto& request : backend.requestsTo(devserver::kPushHost))
        created += request.method == "POST" && request.path == std::string(devserver::kPushApiPrefix) + "players";
    EXPECT_EQ(created, 1u) << "one player per installation\n-- first launch:\n" << first.err << "\n-- second launch:\n"
                           << r.err;
    const auto players = push->playerIds();
    ASSERT_EQ(players.size(), 1u);
    const auto record = push->player(players[0]);
    ASSERT_TRUE(record);
    // The device's token reached the push client through its hook on the shell's delegate.
    EXPECT_NE(record->find("\"identifier\":\""), std::string::npos) << *record;

    const auto registrations = devserver::portalRegistrations(backend.server());
    ASSERT_FALSE(registrations.empty()) << r.err;
    for (const auto& reg : registrations)
        EXPECT_EQ(reg.body, "{\"player-id\":\"" + players[0] + "\"}");
}

// A notification reaches the shell's blocks: one arriving in front its received block, a tap its opened block
// (once per message), whose "targetUrl" the shell loads; the push service hears of each open once.
TEST_F(PortalApp, APushAndATapReachTheShellsHandlersAndEachOpenIsReportedOnce) {
    const std::string tap =
        R"(tap {"aps":{"alert":"News"},"custom":{"i":"m-2","a":{"targetUrl":"https://portal.example.test/intranet/news"}}})";
    auto r = run(Launch::of({"wait 2", R"(push {"aps":{"alert":"Hi"},"custom":{"i":"m-1"}})", tap, "wait 1", tap}));
    ASSERT_EQ(r.status, 0) << r.err;
    // The push in front reaches the received block (the tap, handed on to the delegate's older fetch method
    // while the app is in front, may too).
    EXPECT_NE(r.out.find("\"New notification received\"\n"), std::string::npos) << r.out;
    EXPECT_EQ(occurrences(r.out, "\"Notification tapped\"\n"), 1u) << r.out;
    EXPECT_NE(r.out.find("\"Target url string: https://portal.example.test/intranet/news\"\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(count(portalRequests(), "GET /intranet/news"), 1u);
    size_t opened = 0;
    for (const auto& request : backend.requestsTo(devserver::kPushHost)) {
        opened += request.method == "PUT" &&
                  request.path == std::string(devserver::kPushApiPrefix) + "notifications/m-2";
        EXPECT_NE(request.path, std::string(devserver::kPushApiPrefix) + "notifications/m-1")
            << "a notification only received is not reported";
    }
    EXPECT_EQ(opened, 1u) << r.err;
}

// Half a minute in front is reported to the push service when the app goes to the background.
TEST_F(PortalApp, GoingToTheBackgroundAfter31SecondsInFrontReportsTheForegroundTime) {
    const auto push = devserver::installPushRoutes(backend.server());
    auto r = run(Launch::of({"wait 31", "background"}));
    ASSERT_EQ(r.status, 0) << r.err;
    const auto players = push->playerIds();
    ASSERT_EQ(players.size(), 1u) << r.err;
    const auto events = push->playerEvents(players[0]);
    EXPECT_EQ(std::count(events.begin(), events.end(), "on_focus"), 1) << r.err;
    for (const auto& request : backend.requestsTo(devserver::kPushHost)) {
        if (request.path.ends_with("/on_focus")) {
            EXPECT_TRUE(std::regex_search(request.body, std::regex(R"("state" *: *"ping")"))) << request.body;
            EXPECT_TRUE(std::regex_search(request.body, std::regex(R"("active_time" *: *3[1-9]\.)"))) << request.body;
        }
    }
}

// A push that arrives in the background puts its badge on the icon; coming back to the front clears it and tells
// the push service once. Coming back without a badge tells it nothing.
TEST_F(PortalApp, ForegroundWithABadgeShowingSendsTheBadgeUpdate) {
    const auto push = devserver::installPushRoutes(backend.server());
    auto r = run(Launch::of({"wait 2", "background", "foreground", "wait 1", "background",
                             R"(push {"aps":{"alert":"News","badge":3},"custom":{"i":"m-7"}})", "wait 1", "foreground",
                             "wait 1"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("[device] badge 3\n"), std::string::npos) << r.err;
    const auto players = push->playerIds();
    ASSERT_EQ(players.size(), 1u) << r.err;
    size_t badgeUpdates = 0;
    for (const auto& request : backend.requestsTo(devserver::kPushHost)) {
        if (request.body.find("badgeCount") == std::string::npos)
            continue;
        ++badgeUpdates;
        EXPECT_EQ(request.method, "PUT");
        EXPECT_EQ(request.path, std::string(devserver::kPushApiPrefix) + "players/" + players[0]);
        EXPECT_TRUE(std::regex_search(request.body, std::regex(R"("badgeCount" *: *0\b)"))) << request.body;
    }
    EXPECT_EQ(badgeUpdates, 1u) << r.err;
}

// A background push with buttons and media: the push client fetches the media from the web and schedules a
// notification of its own with the file attached.
TEST_F(PortalApp, ABackgroundPushWithButtonsAndMediaSchedulesANotificationWithTheDownloadedFile) {
    auto r = run(Launch::of(
        {"wait 2", "background",
         R"(push {"aps":{"content-available":1},"os_data":{"i":"m-9","buttons":{"m":"Pick one","o":[{"i":"yes","n":"Yes"},{"i":"no","n":"No"}],"at":{"pic":"https://www.example.test/media/img.png"}}}})",
         "wait 1"}));
    ASSERT_EQ(r.status, 0) << r.err;
    const auto media = backend.requestsTo("www.example.test");
    ASSERT_EQ(media.size(), 1u) << r.err;
    EXPECT_EQ(media.front().path, "/media/img.png");
    EXPECT_TRUE(std::regex_search(r.err, std::regex(R"(\[device\] notification request \S+ scheduled)"))) << r.err;
    size_t saved = 0;
    for (const auto& entry : std::filesystem::directory_iterator(home() + "/Library/Caches")) {
        saved += std::regex_match(entry.path().filename().string(), std::regex("[A-Za-z0-9]{10}\\.png"));
    }
    EXPECT_EQ(saved, 1u) << "the attachment's file";
}

TEST_F(PortalApp, ALaunchURLOpensInTheInAppWebView) {
    auto r = run(Launch::of(
        {"wait 2", R"(tap {"aps":{"alert":"Web"},"custom":{"i":"m-3","u":"https://www.example.test/"}})", "wait 1", "state"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("[device] web page loaded (200): https://www.example.test/"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("[device] open URL https://www.example.test/"), std::string::npos) << r.err;
    EXPECT_EQ(backend.requestsTo("www.example.test").size(), 1u);
}

TEST_F(PortalApp, BelowIOS10ANotificationInFrontShowsTheInAppAlertWhoseButtonOpensIt) {
    auto r = run(Launch::of({"wait 2",
                             R"(push {"aps":{"alert":"Hi"},"custom":{"i":"m-4","a":{"targetUrl":"https://portal.example.test/help"}},"buttons":[{"n":"Read","i":"read"}]})",
                             "answer Close", "wait 1"})
                     .os("9.3"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("[device] alert shown:  - Hi [Close] [Read]\n"), std::string::npos) << r.err;
    EXPECT_EQ(occurrences(r.out, "\"New notification received\"\n"), 1u) << r.out;
    EXPECT_EQ(occurrences(r.out, "\"Notification tapped\"\n"), 1u) << r.out;
    EXPECT_EQ(count(portalRequests(), "GET /help"), 1u) << r.err;
}

// The core reports its configuration at every launch: one log file of source 137 posted to the log service,
// carrying the installation's identifier, which stays the same from one launch to the next.
// The app crashes as its user would see it; the next launch, which only quits, still delivers the report.
TEST_F(PortalApp, ACrashIsReportedByTheNextLaunchEvenIfItOnlyQuits) {
    const auto reports = devserver::installCrashReportRoutes(backend.server());
    auto crashing = Launch::of({"state", "crash segv"});
    crashing.extraArgs = {"--", "-DAVDebugEnabled"};
    const auto crashed = run(crashing);
    // Ended by SIGSEGV (-1 here); a sanitizer build reports the fault after the crash reporter and exits with 1.
    EXPECT_NE(crashed.status, 0) << crashed.err;
    EXPECT_NE(crashed.err.find("[device] > crash segv"), std::string::npos);
    EXPECT_TRUE(reports->reports().empty());

    auto relaunch = Launch::of({"quit"});
    relaunch.extraArgs = {"--", "-DAVDebugEnabled"};
    const auto next = run(relaunch);
    ASSERT_EQ(next.status, 0) << next.err;
    ASSERT_EQ(reports->reports().size(), 1u) << next.err;
    const auto report = reports->reports()[0];
    EXPECT_EQ(report.status, 200);
    ASSERT_TRUE(report.part("signal.vzrrecord"));
    EXPECT_NE(report.part("signal.vzrrecord")->bytes.find("\"name\":\"SIGSEGV\""), std::string::npos);
    ASSERT_TRUE(report.part("signal.vzrrecord.symbolicated"));
    EXPECT_NE(report.part("signal.vzrrecord.symbolicated")->bytes.find("console::"), std::string::npos);
}

TEST_F(PortalApp, EachLaunchPostsTheCoreReportWithTheSameInstallIdentifier) {
    const auto logs = devserver::installLogRoutes(backend.server());
    auto identifiersOf = [](const devserver::ReceivedLogRequest& request) {
        static const std::regex uuid("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}",
                                     std::regex::icase);
        std::set<std::string> found;
        for (const auto& event : request.serializedLogEvents) {
            for (std::sregex_iterator it(event.begin(), event.end(), uuid), end; it != end; ++it) {
                found.insert(it->str());
            }
        }
        return found;
    };

    std::vector<std::set<std::string>> launches;
    for (int launch = 0; launch < 2; ++launch) {
        auto r = run(Launch::of({"wait 1"}));
        ASSERT_EQ(r.status, 0) << r.err;
        const auto received = logs->received();
        ASSERT_EQ(received.size(), static_cast<size_t>(launch + 1)) << r.err;
        const auto& report = received.back();
        ASSERT_TRUE(report.decoded);
        EXPECT_EQ(report.logSource, 137);
        ASSERT_EQ(report.serializedLogEvents.size(), 1u);
        launches.push_back(identifiersOf(report));
        ASSERT_EQ(launches.back().size(), 1u) << "the report carries one identifier, the installation's";
    }
    EXPECT_EQ(launches[0], launches[1]);
}

// The first launch's first-open events reach the measurement back end once the initial upload delay passed;
// the configuration is fetched first.
TEST_F(PortalApp, TheFirstLaunchUploadsItsFirstOpenToTheMeasurementBackEnd) {
    auto r = run(Launch::of({"wait 16", "wait 1", "wait 60"}));
    ASSERT_EQ(r.status, 0) << r.err;
    const auto uploads = devserver::measurementUploads(backend.server());
    ASSERT_EQ(uploads.size(), 1u) << r.err;
    ASSERT_TRUE(uploads[0].problem.empty()) << uploads[0].problem;
    ASSERT_EQ(uploads[0].bundles.size(), 1u);
    // The first open comes first; the first screen and the session start, which the app reports by itself, may
    // follow in the same bundle, depending on when they were stored.
    const auto names = uploads[0].bundles[0].eventNames();
    ASSERT_GE(names.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + 2), (std::vector<std::string>{"_f", "_e"}));
    for (size_t i = 2; i < names.size(); ++i) {
        EXPECT_TRUE(names[i] == "_vs" || names[i] == "_s") << names[i];
    }
    EXPECT_EQ(uploads[0].bundles[0].intTag(23), 1);
    EXPECT_EQ(devserver::measurementConfigRequests(backend.server()).size(), 1u);
}

// What the client reports by itself reaches the back end: the session started after 10 s in the foreground,
// the shell's screen and the engagement measured on it up to the moment the app went to the background.
TEST_F(PortalApp, SessionScreenViewAndEngagementOfTheShellReachTheMeasurementBackEnd) {
    auto r = run(Launch::of({"wait 12", "background", "wait 5", "foreground", "wait 16"}));
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<devserver::MeasurementEvent> events;
    for (const auto& upload : devserver::measurementUploads(backend.server())) {
        ASSERT_TRUE(upload.problem.empty()) << upload.problem;
        for (const auto& bundle : upload.bundles)
            events.insert(events.end(), bundle.events.begin(), bundle.events.end());
    }
    auto named = [&](const std::string& name) {
        std::vector<const devserver::MeasurementEvent*> found;
        for (const auto& e : events)
            if (e.name == name)
                found.push_back(&e);
        return found;
    };
    auto screenClass = [](const devserver::MeasurementEvent& e) {
        const auto* p = e.param("_sc");
        return p && p->stringValue ? *p->stringValue : std::string("<none>");
    };
    EXPECT_EQ(named("_s").size(), 1u) << r.err;
    const auto views = named("_vs");
    ASSERT_EQ(views.size(), 1u) << r.err;
    EXPECT_EQ(screenClass(*views[0]), "ViewController");
    // The engagement of the first open comes before any screen; the one cut by the background carries it,
    // with the 12 s in the foreground.
    const auto engagements = named("_e");
    ASSERT_EQ(engagements.size(), 2u) << r.err;
    EXPECT_EQ(screenClass(*engagements[1]), "ViewController");
    const auto* engaged = engagements[1]->param("_et");
    ASSERT_TRUE(engaged && engaged->intValue);
    EXPECT_GE(*engaged->intValue, 12000);
    EXPECT_LT(*engaged->intValue, 20000);
}

// The launch starts the measurement client from the bundle's service options: its database is made in the app
// home at once, and its lines go to standard error only.
TEST_F(PortalApp, TheLaunchStartsTheMeasurementClientWithItsDatabaseInTheAppHome) {
    auto r = run(Launch::withArgs({"--", "-DAVDebugEnabled", "-DAVLoggerForceSTDERR"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("Analytics v.50300000 started"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("Analytics"), std::string::npos) << r.out;
    std::ifstream file(home() + "/Library/Application Support/Razoza/Measurement/razoza-app-measurement.sql",
                       std::ios::binary);
    ASSERT_TRUE(file) << r.err;
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes.rfind("SQLite format 3", 0), 0u);
    // The schema, kept as text in the file, holds the raw events' table.
    EXPECT_NE(bytes.find("raw_events"), std::string::npos);
}

// The launch configures the instance-ID client for the default app; nothing in the app asks it for a token,
// so it sends nothing, at the first launch and the next.
TEST_F(PortalApp, EachLaunchConfiguresTheInstanceIDClientWithoutARequest) {
    for (int launch = 0; launch < 2; ++launch) {
        auto r = run(Launch::withArgs({"--", "-DAVDebugEnabled", "-DAVLoggerForceSTDERR"}));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find("[Vedudodu/InstanceID][I-IID013010] InstanceID library version 3.3.0"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(r.err.find("[I-IID001002]"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("uncaught exception"), std::string::npos) << r.err;
        EXPECT_TRUE(backend.requestsTo(std::string(devserver::kInstanceIdHost)).empty());
    }
}

TEST_F(PortalApp, OnIOS10NoRegistrationIsSent) {
    seedPlayerId();
    auto r = run(Launch::of({"submit /login?ignore_ntlm=1/ user=ada password=secret",
                             "click https://portal.example.test/intranet/news", "wait 0.2"})
                     .os("10.3"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(devserver::portalRegistrations(backend.server()).size(), 0u);
    EXPECT_EQ(count(portalRequests(), "GET /intranet/news"), 1u) << "the login itself works";
}

TEST_F(PortalApp, TheOfflineViewShowsOnlyWhenTheNetworkIsUnreachable) {
    const std::string loginShown = "WKWebView: " + kLoginURL + " \"Portal\"";
    // A load that fails while the network is reachable leaves the page as it was.
    auto online = run(Launch::of({"go https://offline.example.test/", "state"}));
    ASSERT_EQ(online.status, 0) << online.err;
    EXPECT_NE(
        online.err.find("[device] web page failed (-1004): https://offline.example.test/: Could not connect "
                        "to the server. (NSURLErrorDomain -1004)\n"),
        std::string::npos)
        << online.err;
    auto page = lastState(online);
    EXPECT_EQ(count(page, "(connection-lost view) (hidden)"), 1u) << online.err;
    EXPECT_EQ(count(page, loginShown + " (hidden)"), 0u) << online.err;
    EXPECT_EQ(count(page, loginShown), 1u) << online.err;

    // Unreachable: the connection-lost view replaces the page; its reload button does nothing until the
    // network is back, and then reloads the page.
    auto offline = run(Launch::of({"reachability off", "go https://offline.example.test/", "state",
                                   "reload-button", "reachability on", "reload-button", "state"}));
    ASSERT_EQ(offline.status, 0) << offline.err;
    const size_t firstState = offline.err.find("[device] > state\n");
    const size_t firstReload = offline.err.find("[device] > reload-button\n");
    const size_t secondReload = offline.err.find("[device] > reload-button\n", firstReload + 1);
    ASSERT_NE(secondReload, std::string::npos) << offline.err;
    const std::string shown = offline.err.substr(firstState, firstReload - firstState);
    EXPECT_NE(shown.find("(connection-lost view)\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find(loginShown + " (hidden)\n"), std::string::npos) << shown;
    const std::string whileDown = offline.err.substr(firstReload, secondReload - firstReload);
    EXPECT_EQ(whileDown.find("web navigation"), std::string::npos) << whileDown;
    auto back = lastState(offline);
    EXPECT_EQ(count(back, "(connection-lost view) (hidden)"), 1u) << offline.err;
    EXPECT_EQ(count(back, loginShown + " (hidden)"), 0u) << offline.err;
    EXPECT_EQ(portalRequests(), std::vector<std::string>(3, "GET /login?ignore_ntlm=1/"))
        << "two launches, and the reload once the network was back";
}

TEST_F(PortalApp, PullToRefreshAtTheStartOfTheHistoryLoadsTheLoginPageAgain) {
    auto r = run(Launch::of({"refresh", "click https://portal.example.test/help", "refresh"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(portalRequests(),
              (std::vector<std::string>{"GET /login?ignore_ntlm=1/", "GET /login?ignore_ntlm=1/", "GET /help",
                                        "GET /help"}));
}

TEST_F(PortalApp, ANewWindowIsPushedAndItsCloseReturnsToTheFirstScreen) {
    auto r =
        run(Launch::of({"window-open https://portal.example.test/help", "state", "window-close", "state"}));
    ASSERT_EQ(r.status, 0) << r.err;
    const size_t first = r.err.find("[device] > state\n");
    const size_t second = r.err.rfind("[device] > state\n");
    ASSERT_NE(first, second);
    const std::string opened = r.err.substr(first, second - first);
    EXPECT_NE(opened.find("WKWebView: https://portal.example.test/help \"Help\""), std::string::npos)
        << opened;
    auto closed = lastState(r);
    EXPECT_EQ(count(closed, "ViewController"), 1u) << r.err;
    EXPECT_EQ(count(closed, "WKWebView: " + kLoginURL), 1u) << r.err;
}

TEST_F(PortalApp, AUniversalLinkShowsItsAddressInANewRootScreen) {
    auto r = run(Launch::of({"link https://portal.example.test/help", "state"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(shellLines(r), trace(kLoginURL, kPortal, false) + "\"universal link tapped\"\n" +
                                 trace("https://portal.example.test/help", kPortal, false));
    EXPECT_EQ(count(lastState(r), "WKWebView: https://portal.example.test/help"), 1u) << r.err;
}

TEST_F(PortalApp, UnknownCommandsAndBadArgumentsExitWithStatusTwo) {
    struct Case {
        const char* what;
        Launch launch;
        const char* message;
    };
    const Case cases[] = {
        {"unknown command in a script", Launch::of({"click https://portal.example.test/help", "jump"}),
         "script.txt:2: unknown command 'jump'"},
        {"unknown command typed in", Launch::typed("state\nfly away\nquit\n"),
         "line 2: unknown command 'fly'"},
        {"unknown option", Launch::withArgs({"--fast"}), "unknown argument --fast"},
        {"option without its value", Launch::withArgs({"--script"}), "--script needs a value"},
        {"script that cannot be read", Launch::withArgs({"--script", "/nonexistent/script"}),
         "cannot read the script"},
    };
    for (const auto& c : cases) {
        auto r = run(c.launch);
        EXPECT_EQ(r.status, 2) << c.what << "\n" << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.what << "\n" << r.err;
    }
    // A script with an unknown command fails before the app starts: nothing reached the portal.
    EXPECT_EQ(count(portalRequests(), "GET /help"), 0u);
}

TEST_F(PortalApp, VersionNeedsNoDevice) {
    auto r = spawnAndCollect({PORTAL_APP_PROGRAM, "--version"}, backend.environment(), "",
                             std::chrono::seconds(20));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "portal-app 1.0\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(PortalApp, HelpPrintsTheUsageAndNeedsNoDevice) {
    auto r =
        spawnAndCollect({PORTAL_APP_PROGRAM, "--help"}, backend.environment(), "", std::chrono::seconds(20));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("usage: portal-app ", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("PORTAL_APP_RESOLVE"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");
}

// A newcomer's wrong paths and settings: each is named with what is wrong, before the device boots.
TEST_F(PortalApp, BadPathsAndSettingsAreNamedBeforeTheDeviceBoots) {
    const std::string folder = backend.folder();
    writeFile(folder + "/a-file", "not a folder\n");
    writeFile(folder + "/not-a-ca.pem",
              "-----BEGIN CERTIFICATE-----\nnot base64\n-----END CERTIFICATE-----\n");
    std::filesystem::create_directories(folder + "/empty");
    std::filesystem::create_directories(folder + "/no-info/Base.lproj");
    writeFile(folder + "/no-info/Config.json", "{}");
    struct Case {
        Launch launch;
        std::string message;
    };
    const Case cases[] = {
        {Launch::of({"quit"}).inBundle(folder + "/missing"),
         "the bundle " + folder + "/missing does not exist"},
        {Launch::of({"quit"}).inBundle(folder + "/a-file"),
         "the bundle " + folder + "/a-file is not a folder"},
        {Launch::of({"quit"}).inBundle(folder + "/empty"),
         "the bundle " + folder + "/empty is an empty folder"},
        {Launch::of({"quit"}).inBundle(folder + "/no-info"),
         "the bundle " + folder + "/no-info has no Info.plist"},
        {Launch::of({"quit"}).inHome(folder + "/a-file"),
         "the app home " + folder + "/a-file is not a folder"},
        {Launch::of({"quit"}).inHome(folder + "/a-file/home"), folder + "/a-file is not a folder"},
        {Launch::withArgs({"--script", folder + "/none.txt"}),
         "cannot read the script " + folder +
             "/none.txt: The file \u201cnone.txt\u201d couldn\u2019t be opened "
             "because there is no such file. (NSCocoaErrorDomain 260, " +
             folder + "/none.txt)"},
        {Launch::of({"quit"}).withEnv("PORTAL_APP_RESOLVE", "portal.example.test:443:127.0.0.1"),
         "PORTAL_APP_RESOLVE: the entry \"portal.example.test:443:127.0.0.1\" is not host:port:address:port"},
        {Launch::of({"quit"}).withEnv("PORTAL_APP_RESOLVE", "a.test:443:127.0.0.1:99999"),
         "the entry \"a.test:443:127.0.0.1:99999\""},
        {Launch::of({"quit"}).withEnv("PORTAL_APP_CA_FILE", folder + "/missing.pem"),
         "PORTAL_APP_CA_FILE: The file \u201cmissing.pem\u201d couldn\u2019t be opened because there is no "
         "such "
         "file. (NSCocoaErrorDomain 260, " +
             folder + "/missing.pem)"},
        {Launch::of({"quit"}).withEnv("PORTAL_APP_CA_FILE", folder + "/a-file"),
         "PORTAL_APP_CA_FILE: " + folder + "/a-file holds no PEM certificate"},
        {Launch::of({"quit"}).withEnv("PORTAL_APP_CA_FILE", folder + "/not-a-ca.pem"),
         "PORTAL_APP_CA_FILE: " + folder + "/not-a-ca.pem holds no PEM certificate"},
        {Launch::of({"wait 1e9"}), "script.txt:1: 'wait' takes a number of seconds from 0 to a year"},
        {Launch::of({"state", "wait -5"}), "script.txt:2: 'wait' takes a number of seconds from 0 to a year"},
        {Launch::of({"wait nan"}), "script.txt:1: 'wait' takes a number of seconds from 0 to a year"},
    };
    for (const auto& c : cases) {
        auto r = run(c.launch);
        EXPECT_EQ(r.status, 2) << c.message << "\n" << r.err;
        EXPECT_EQ(r.err.rfind("portal-app: ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << "one line says it all:\n" << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("[device]"), std::string::npos) << "the device never booted:\n" << r.err;
    }
    EXPECT_EQ(portalRequests(), std::vector<std::string>{});
}

TEST_F(PortalApp, ABundleWithoutItsServicesFileEndsTheAppWithTheCoresException) {
    const std::string bundle = bundleWithConfig(
        R"({"base_url": "https://portal.example.test", "base_url_home_host": "portal.example.test",)"
        R"( "push_notifications_enabled": "true"})");
    std::filesystem::remove(bundle + "/RazozaService-Info.plist");
    auto r = run(Launch::of({"quit"}).inBundle(bundle));
    EXPECT_EQ(r.status, -1) << "the process aborts, as the device ends the app\n" << r.err;
    EXPECT_NE(r.err.find("[device] the app terminated: uncaught exception com.vedudodu.core: "),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("RazozaService-Info.plist"), std::string::npos) << r.err;
}

TEST_F(PortalApp, TextThatIsNoURLOrNoJSONObjectIsSaidAndTheScriptGoesOn) {
    auto r = run(Launch::of({"click http://[bad", std::string("go https://portal.example.test/") + '\0' + "x",
                             "window-open http://[bad", "link not-a-link", "push {\"aps\": {", "tap [1]",
                             "click https://portal.example.test/help"}));
    ASSERT_EQ(r.status, 0) << r.err;
    for (const std::string line : {
             "[device] 'click' ignored: \"http://[bad\" is no URL\n",
             "[device] > go https://portal.example.test/\\x00x\n",
             "[device] 'go' ignored: \"https://portal.example.test/\\x00x\" is no URL\n",
             "[device] 'window-open' ignored: \"http://[bad\" is no URL\n",
             "[device] 'link' ignored: \"not-a-link\" is no absolute URL\n",
             "[device] 'push' ignored: the JSON does not parse: The data couldn\u2019t be read because it "
             "isn\u2019t "
             "in the correct format. (NSCocoaErrorDomain 3840; ",
             "[device] 'tap' ignored: the JSON is no object: [1]\n",
         }) {
        EXPECT_NE(r.err.find(line), std::string::npos) << line << "\n" << r.err;
    }
    EXPECT_EQ(r.err.find("error 3840"), std::string::npos) << r.err;
    EXPECT_EQ(portalRequests(), (std::vector<std::string>{"GET /login?ignore_ntlm=1/", "GET /help"}));
}

TEST_F(PortalApp, ABadTypedLineIsSaidEscapedAndTheSessionGoesOnToStatusTwo) {
    auto r = run(
        Launch::typed("fly\x1b[2J away\nclick https://portal.example.test/help\ncaf\xc3\xa9 \xff\nquit\n"));
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("portal-app: line 1: unknown command 'fly\\x1b[2J'\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("portal-app: line 3: unknown command 'caf\xc3\xa9'\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("[device] > quit\n"), std::string::npos) << r.err;
    EXPECT_EQ(portalRequests(), (std::vector<std::string>{"GET /login?ignore_ntlm=1/", "GET /help"}));
}

// The simulated device decides where the permission answer arrives, so a script's output is the same bytes
// in every run.
TEST_F(PortalApp, TheSameScriptGivesTheSameStandardOutputEveryRun) {
    seedPlayerId();
    const auto script = Launch::of({"submit /login?ignore_ntlm=1/ user=ada password=secret",
                                    "click https://portal.example.test/intranet/news", "alert Saved!",
                                    "answer OK", "link https://portal.example.test/help"});
    std::string first;
    for (int i = 0; i < 20; ++i) {
        std::filesystem::remove_all(home());
        seedPlayerId();
        auto r = run(script);
        ASSERT_EQ(r.status, 0) << r.err;
        if (i == 0) {
            first = r.out;
            EXPECT_EQ(first.substr(0, trace(kLoginURL, kPortal, false).size() + kPermissionLine.size()),
                      trace(kLoginURL, kPortal, false) + kPermissionLine)
                << "the answer comes right after the first page's trace\n"
                << first;
        } else {
            ASSERT_EQ(r.out, first) << "run " << i + 1;
        }
    }
}

// A year of device time passes in seconds, although the clients' repeating timers (the measurement client's
// hourly engagement report, the crash reporter's image checks) keep coming due all along; the bound is loose
// enough for a busy two-core machine and still far below any real wait.
TEST_F(PortalApp, WaitSkipsTimeInsteadOfWaitingForIt) {
    const auto began = std::chrono::steady_clock::now();
    auto r =
        run(Launch::of({"wait 3600", "click https://portal.example.test/help", "wait 31536000", "state"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(60));
    EXPECT_EQ(portalRequests(), (std::vector<std::string>{"GET /login?ignore_ntlm=1/", "GET /help"}));
    EXPECT_NE(r.err.find("[device] > state\n"), std::string::npos) << r.err;
}

// What the kit host's back ends received, in order: method, host and path.
std::vector<std::string> kitHostRequests(Backend& backend) {
    std::vector<std::string> lines;
    for (const auto& r : backend.server().requests())
        if (r.host == devserver::kKitSettingsHost || r.host == devserver::kKitApiHost)
            lines.push_back(r.method + " " + r.host + r.path);
    return lines;
}

TEST_F(PortalApp, TheKitHostRegistersTheAppOnTheFirstLaunchAndOnlyDownloadsOnTheNext) {
    const std::string settings = "GET settings.example.test/spi/v2/platforms/ios/apps/test.example.portal/settings";
    auto launch = Launch::of({"quit"});
    launch.extraArgs = {"--", "-DAVDebugEnabled"};
    auto first = run(launch);
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(kitHostRequests(backend),
              (std::vector<std::string>{settings, "POST api.example.test/spi/v1/platforms/ios/apps", settings}))
        << first.err;
    EXPECT_NE(first.err.find("[Zuvadu] Settings are available for consumption"), std::string::npos) << first.err;

    backend.server().clearRequests();
    auto second = run(launch);
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(kitHostRequests(backend), std::vector<std::string>{settings}) << second.err;
    EXPECT_EQ(shellLines(second), trace(kLoginURL, kPortal, false));
}

TEST_F(PortalApp, WithoutTheDebugArgumentThePinnedKitHostReachesNoBackEnd) {
    auto r = run(Launch::of({"quit"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(kitHostRequests(backend), std::vector<std::string>{});
    EXPECT_NE(r.err.find("[Zuvadu] failed to download settings"), std::string::npos) << r.err;
}

} // namespace
} // namespace console::test
