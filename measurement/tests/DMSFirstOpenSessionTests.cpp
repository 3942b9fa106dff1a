// The session the first open starts and the session number carried over from sessions counted earlier: all
// of it behind the remote switches, which are off by default.

#include "measurement/engine/DMSScreenViewReporter.hpp"
#include "measurement/tests/MeasurementUploadFixture.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/SimApp.hpp"
#include "platform/uikit/UIViewController.hpp"
#include "platform/uikit/UIWindow.hpp"

#include <gtest/gtest.h>

namespace {

using dms::test::kUploadT0;
using dms::test::StoredRawEvent;
using dms::test::UploadFixture;

constexpr const char* kImmediateStart = "measurement.sessions.immediate_start_enabled";
constexpr const char* kSessionIDs = "measurement.sessions.session_id_enabled";
constexpr const char* kSessionNumbers = "measurement.sessions.session_number_enabled";

class DMSFirstOpenSessionTest : public UploadFixture {
protected:
    void useSwitches(const std::vector<const char*>& on) {
        std::vector<DMSConfigSetting> settings;
        for (const char* name : on) {
            settings.push_back({name, std::string("1")});
        }
        useSettings(std::move(settings));
    }
    std::optional<DMSUserAttribute> attribute(const char* name) {
        return onWorker([name] {
            plat::Error error;
            return controller().database()->userAttributeWithName(name, &error);
        });
    }
    std::vector<StoredRawEvent> named(const std::string& name) const {
        std::vector<StoredRawEvent> found;
        for (auto& event : storedRawEvents()) {
            if (event.name == name) {
                found.push_back(event);
            }
        }
        return found;
    }
};

// Each case is a fresh install; ctest runs every instance in a process of its own.
struct FirstOpenSessionCase {
    const char* label;
    std::vector<const char*> on;
    bool session;                  // "_s" logged
    std::optional<int64_t> id;     // its "_sid" and the property's value
    std::optional<int64_t> number; // its "_sno" and the property's value
};

void PrintTo(const FirstOpenSessionCase& c, std::ostream* out) { *out << c.label; }

class DMSFirstOpenSessionSwitchesTest : public DMSFirstOpenSessionTest,
                                        public ::testing::WithParamInterface<FirstOpenSessionCase> {};

TEST_P(DMSFirstOpenSessionSwitchesTest, TheFirstOpenStartsASessionOnlyAsTheSwitchesSay) {
    const FirstOpenSessionCase& c = GetParam();
    useSwitches(c.on);
    start({}, false);
    const auto names = storedNames();
    const auto first = std::find(names.begin(), names.end(), "_f");
    const auto session = std::find(names.begin(), names.end(), "_s");
    ASSERT_NE(first, names.end());
    EXPECT_EQ(std::count(names.begin(), names.end(), "_s"), c.session ? 1 : 0);
    if (c.session) {
        // The session begins with the install, ahead of its first-open events.
        EXPECT_LT(session, first);
        const auto event = named("_s").at(0);
        EXPECT_EQ(event.fields.timestampMillis, static_cast<int64_t>(kUploadT0) * 1000);
        EXPECT_EQ(event.intParameter("_sid"), c.id);
        EXPECT_EQ(event.intParameter("_sno"), c.number);
    }
    const auto sid = attribute("_sid");
    const auto sno = attribute("_sno");
    EXPECT_EQ(sid ? std::optional<int64_t>(sid->value().int64Value()) : std::nullopt, c.id);
    EXPECT_EQ(sno ? std::optional<int64_t>(sno->value().int64Value()) : std::nullopt, c.number);
    EXPECT_EQ(persisted().sessionNumber(), c.number.value_or(0));
}

INSTANTIATE_TEST_SUITE_P(
    Switches, DMSFirstOpenSessionSwitchesTest,
    ::testing::Values(FirstOpenSessionCase{"Defaults", {}, false, std::nullopt, std::nullopt},
                      FirstOpenSessionCase{"IDsAndNumbersWithoutImmediateStart",
                                           {kSessionIDs, kSessionNumbers},
                                           false,
                                           std::nullopt,
                                           std::nullopt},
                      FirstOpenSessionCase{"ImmediateStartOnly", {kImmediateStart}, true, std::nullopt, std::nullopt},
                      FirstOpenSessionCase{"AllOn",
                                           {kImmediateStart, kSessionIDs, kSessionNumbers},
                                           true,
                                           static_cast<int64_t>(kUploadT0),
                                           1}),
    [](const auto& info) { return std::string(info.param.label); });

// A later launch starts a session only once the last one has timed out, and counts on from it.
TEST_F(DMSFirstOpenSessionTest, ALaterLaunchStartsASessionOnlyAfterTheLastOneExpired) {
    useSwitches({kImmediateStart, kSessionNumbers});
    start({}, false);
    ASSERT_EQ(named("_s").size(), 1u);
    advance(600);
    onWorker([] { controller().reportFirstOpenOnWorkerQueue(); });
    EXPECT_EQ(named("_s").size(), 1u);
    EXPECT_EQ(named("_f").size(), 1u);
    advance(1801);
    onWorker([] { controller().reportFirstOpenOnWorkerQueue(); });
    const auto sessions = named("_s");
    ASSERT_EQ(sessions.size(), 2u);
    EXPECT_EQ(sessions[1].intParameter("_sno"), 2);
    EXPECT_EQ(sessions[1].fields.timestampMillis, static_cast<int64_t>((kUploadT0 + 2401) * 1000));
    EXPECT_FALSE(sessions[1].intParameter("_sid"));
    EXPECT_EQ(named("_f").size(), 1u);
    EXPECT_EQ(persisted().sessionNumber(), 2);
}

struct SessionBackfillCase {
    const char* label;
    bool numbersOn;
    int64_t kept;   // the persisted number before
    int64_t expect; // after the backfill
};

void PrintTo(const SessionBackfillCase& c, std::ostream* out) { *out << c.label; }

class DMSSessionBackfillTest : public DMSFirstOpenSessionTest,
                               public ::testing::WithParamInterface<SessionBackfillCase> {};

// Sessions counted before numbers were switched on (five "_s" so far) give the number to go on from.
TEST_P(DMSSessionBackfillTest, TheSessionNumberCarriesOnFromTheSessionsAlreadyCounted) {
    const SessionBackfillCase& c = GetParam();
    if (c.numbersOn) {
        useSwitches({kSessionNumbers});
    }
    start({}, false);
    onWorker([] {
        auto aggregates = DMSEventAggregates::initWithName("_s", 5, 0, kUploadT0);
        ASSERT_TRUE(controller().database()->updateEventAggregates(&*aggregates, nullptr));
    });
    persisted().setSessionNumber(c.kept);
    onWorker([] { controller().backfillSessionNumber(); });
    EXPECT_EQ(persisted().sessionNumber(), c.expect);
}

INSTANTIATE_TEST_SUITE_P(Kept, DMSSessionBackfillTest,
                         ::testing::Values(SessionBackfillCase{"NoneKept", true, 0, 5},
                                           SessionBackfillCase{"NumbersOff", false, 0, 0},
                                           SessionBackfillCase{"AlreadyKept", true, 3, 3}),
                         [](const auto& info) { return std::string(info.param.label); });

// The first-open events carry the screen the user is on when the first open is reported.
TEST_F(DMSFirstOpenSessionTest, TheFirstOpenEventsCarryTheCurrentScreen) {
    plat::rt::registerClass("FirstOpenSessionDelegate", plat::rt::rootClass(), {"UIApplicationDelegate"});
    auto app = plat::sim::App::launch("FirstOpenSessionDelegate");
    auto* cls = plat::rt::registerClass<plat::UIViewController>("FirstOpenHomeController",
                                                                plat::UIViewController::runtimeClass());
    auto window = plat::UIWindow::make();
    window->setRootViewController(
        std::dynamic_pointer_cast<plat::UIViewController>(plat::rt::createInstance(cls)));
    window->makeKeyAndVisible();
    settle();
    start({}, false);
    for (const char* name : {"_f", "_e"}) {
        const auto events = named(name);
        ASSERT_FALSE(events.empty()) << name;
        EXPECT_EQ(events[0].stringParameter("_sc"), "FirstOpenHomeController") << name;
        EXPECT_TRUE(events[0].intParameter("_si")) << name;
    }
}

} // namespace
