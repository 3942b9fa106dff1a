#include "app/console/DeviceConsole.hpp"

#include "RadIrivozSDK/Source/RadIrivozClient.hpp"
#include "RadIrivozSDK/Source/RadIrivozHelper.hpp"
#include "ZazududIda/Zuvidir.hpp"

#include "app/console/Notifications.hpp"
#include "app/console/Screens.hpp"
#include "core/DAVZarezuveLogger.hpp"
#include "crash/VZRCrashReportingController.hpp"
#include "kit_host/ZUVSettingsOnboardingManager.hpp"
#include "measurement/engine/DMSMeasurement.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/MainLoop.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/net/Reachability.hpp"
#include "platform/net/SimNetwork.hpp"
#include "platform/net/URL.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/SimApp.hpp"
#include "platform/uikit/UIControls.hpp"
#include "platform/uikit/UIView.hpp"
#include "platform/uikit/UIViewController.hpp"
#include "platform/webkit/SimWeb.hpp"
#include "platform/webkit/WebRecorder.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace console {
namespace {

// How far a stop of `wait` moves the clock at least, as a share of the time the wait has run so far.
constexpr double kLeastStepOfWaitedTime = 0.1;

std::optional<plat::sim::Web> pageDriver(const std::string& commandName) {
    auto page = pageViewOf(visibleScreen());
    if (page.view) {
        return plat::sim::Web(page.view);
    }
    if (page.legacyView) {
        return plat::sim::Web(page.legacyView);
    }
    plat::printDevice("no web page on screen; '" + commandName + "' ignored");
    return std::nullopt;
}

// The first button inside the view, depth first.
std::shared_ptr<plat::UIButton> firstButton(const std::shared_ptr<plat::UIView>& view) {
    if (!view) {
        return nullptr;
    }
    for (const auto& sub : view->subviews()) {
        if (auto button = std::dynamic_pointer_cast<plat::UIButton>(sub)) {
            return button;
        }
        if (auto button = firstButton(sub)) {
            return button;
        }
    }
    return nullptr;
}

// The user taps the button of the connection-lost view; it answers only while the view shows, so the tap
// goes through the driver, which ignores hidden controls as the device does.
void tapReloadButton() {
    auto screen = visibleScreen();
    std::shared_ptr<plat::UIButton> button;
    if (screen && plat::rt::respondsTo(screen, plat::rt::sel("connectionLostView"))) {
        button = firstButton(std::dynamic_pointer_cast<plat::UIView>(
            plat::rt::msgSend<plat::rt::ObjectPtr>(screen, plat::rt::sel("connectionLostView"))));
    }
    if (!button) {
        plat::printDevice("no reload button on screen; 'reload-button' ignored");
        return;
    }
    if (!plat::sim::App::tapButton(button)) {
        plat::printDevice("the reload button is not shown; 'reload-button' ignored");
    }
}

// The page and the device take only text that is a URL; anything else would be dropped without a word.
bool isURL(const ConsoleCommand& command, bool absolute) {
    auto url = plat::URL::parse(command.target);
    if (url && (!absolute || url->scheme())) {
        return true;
    }
    plat::printDevice("'" + command.name + "' ignored: \"" + printable(command.target) +
                      (absolute ? "\" is no absolute URL" : "\" is no URL"));
    return false;
}

bool hasPayload(const ConsoleCommand& command) {
    if (command.payloadProblem) {
        plat::printDevice("'" + command.name + "' ignored: " + *command.payloadProblem);
        return false;
    }
    return true;
}

// The app dies as its user would see it: ended by the fault's signal (SIGABRT for an uncaught exception),
// with no clean-up but the console's lines written so far.
[[noreturn]] void crashTheApp(const std::string& how) {
    std::fflush(nullptr);
    if (how == "segv") {
        // A page no process maps (not null, which the sanitizer build would stop at before the fault).
        volatile uintptr_t nowhere = 8;
        *reinterpret_cast<volatile int*>(nowhere) = 1;
    } else if (how == "abort") {
        std::abort();
    } else if (how == "exception") {
        plat::Exception::raise("PortalCrashCommand", "The console asked the app to crash with an uncaught exception.");
    }
    __builtin_trap();
}

} // namespace

std::shared_ptr<DeviceConsole> DeviceConsole::make(std::unique_ptr<CommandSource> source,
                                                   ConsoleOptions options) {
    return std::make_shared<DeviceConsole>(std::move(source), std::move(options));
}

DeviceConsole::DeviceConsole(std::unique_ptr<CommandSource> source, ConsoleOptions options)
    : source_(std::move(source)), options_(std::move(options)) {}

DeviceConsole::~DeviceConsole() = default;

void DeviceConsole::start() {
    plat::DispatchQueue::main()->async([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->settleThen([weak] {
                if (auto self = weak.lock()) {
                    self->playNext();
                }
            });
        }
    });
}

void DeviceConsole::playNext() {
    if (finished_) {
        return;
    }
    source_->next([weak = weak_from_this()](std::optional<SourceLine> line) {
        auto self = weak.lock();
        if (!self || self->finished_) {
            return;
        }
        if (!line) {
            self->finish(0, true);
            return;
        }
        self->play(*line);
    });
}

void DeviceConsole::play(const SourceLine& line) {
    auto parsed = parseCommand(line.text);
    if (parsed.error) {
        // A typed line that is wrong is said and skipped, as a shell would; the session goes on and ends
        // with status 2. (A script is checked whole before the device boots.)
        const std::string message = "line " + std::to_string(line.number) + ": " + *parsed.error;
        if (options_.reportError) {
            options_.reportError(message);
        } else {
            std::fprintf(stderr, "portal-app: %s\n", message.c_str());
        }
        hadBadLine_ = true;
        playNext();
        return;
    }
    if (!parsed.command) {
        playNext();
        return;
    }
    if (parsed.command->kind == CommandKind::quit) {
        if (options_.echo) {
            plat::printDevice("> quit");
        }
        // A crash report of an earlier launch that is on its way to the report service is let go first: a
        // session that only starts the app after a crash and quits must still deliver it.
        if (VZRCrashReportingController::hasReportsInFlight()) {
            settleThen([weak = weak_from_this()] {
                if (auto self = weak.lock()) {
                    self->finish(0, true);
                }
            });
            return;
        }
        finish(0, true);
        return;
    }
    execute(*parsed.command, [weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->playNext();
        }
    });
}

void DeviceConsole::execute(const ConsoleCommand& command, std::function<void()> done) {
    if (options_.echo) {
        plat::printDevice("> " + printable(command.text));
    }
    using plat::sim::App;
    switch (command.kind) {
    case CommandKind::click:
        if (auto web = isURL(command, false) ? pageDriver(command.name) : std::nullopt) {
            web->clickLink(command.target);
        }
        break;
    case CommandKind::submit:
        if (auto web = isURL(command, false) ? pageDriver(command.name) : std::nullopt) {
            web->submitForm(command.target, "POST", command.fields);
        }
        break;
    case CommandKind::go:
        if (auto web = isURL(command, false) ? pageDriver(command.name) : std::nullopt) {
            web->scriptNavigate(command.target);
        }
        break;
    case CommandKind::back:
        if (auto web = pageDriver(command.name); web && !web->back()) {
            plat::printDevice("no earlier page; 'back' ignored");
        }
        break;
    case CommandKind::refresh:
        if (!App::pullToRefresh()) {
            plat::printDevice("no refresh control on screen; 'refresh' ignored");
        }
        break;
    case CommandKind::reloadButton:
        tapReloadButton();
        break;
    case CommandKind::alert:
        if (auto web = pageDriver(command.name)) {
            web->raiseAlert(command.target);
        }
        break;
    case CommandKind::confirm:
        if (auto web = pageDriver(command.name)) {
            web->raiseConfirm(command.target);
        }
        break;
    case CommandKind::answer:
        if (!App::tapAlertAction(command.target)) {
            plat::printDevice("no alert button '" + command.target + "' on screen; 'answer' ignored");
        }
        break;
    case CommandKind::windowOpen:
        if (auto web = isURL(command, false) ? pageDriver(command.name) : std::nullopt) {
            web->windowOpen(command.target);
        }
        break;
    case CommandKind::windowClose:
        if (auto web = pageDriver(command.name)) {
            web->windowClose();
        }
        break;
    case CommandKind::link:
        if (!isURL(command, true)) {
            break;
        }
        if (!App::openUniversalLink(command.target,
                                    command.activityType.value_or(kBrowsingWebActivityType))) {
            plat::printDevice("the app did not take the universal link");
        }
        break;
    case CommandKind::push:
        if (hasPayload(command)) {
            deliverPush(command.payload);
        }
        break;
    case CommandKind::tap:
        if (hasPayload(command)) {
            tapNotification(command.payload, command.action);
        }
        break;
    case CommandKind::background:
        App::enterBackground();
        break;
    case CommandKind::foreground:
        App::enterForeground();
        break;
    case CommandKind::reachability:
        plat::sim::Network::setReachability(command.reachable ? plat::kReachabilityFlagsReachable : 0u);
        break;
    case CommandKind::wait:
        skipUntil(plat::Clock::uptime(), plat::Clock::uptime() + command.seconds, std::move(done));
        return;
    case CommandKind::state:
        for (const auto& line : describeScreens()) {
            plat::printDevice(line);
        }
        break;
    case CommandKind::crash:
        crashTheApp(command.target);
    case CommandKind::quit:
        finish(0, true);
        return;
    }
    settleThen(std::move(done));
}

// Time is skipped, not waited for: the clock stops at each timer or delayed block that falls due on the way,
// so it runs at its own time, and goes on once the work it started has settled. Each stop costs real time
// (settling, and often a round trip to a back end), and the app keeps timers that come due every few seconds
// (the crash reporter's check for loaded images) or every hour (engagement reports and their uploads): stopped
// at one by one, a day's wait took minutes and a year's could not end. So each stop moves the clock at least
// a tenth of the time this wait has run so far; timers due within that step run together at its end, in
// deadline order, as the device runs timers that came due while it could not. A timer alone in its stretch
// still runs at its own time, and the first seconds of a wait keep every stop; a year takes some 150 stops.
void DeviceConsole::skipUntil(double start, double target, std::function<void()> done) {
    const double now = plat::Clock::uptime();
    const double leastStep = (now - start) * kLeastStepOfWaitedTime;
    const auto next = plat::ClockSkip::nextDeadline();
    if (next && std::max(*next, now + leastStep) < target) {
        plat::ClockSkip::skipTo(std::max(*next, now + leastStep));
        settleThen([weak = weak_from_this(), start, target, done = std::move(done)]() mutable {
            if (auto self = weak.lock()) {
                self->skipUntil(start, target, std::move(done));
            }
        });
        return;
    }
    plat::ClockSkip::skipTo(target);
    settleThen(std::move(done));
}

uint64_t DeviceConsole::activityMarker() const {
    const auto& web = plat::sim::WebRecorder::shared();
    return http_.changes() + web.navigations().size() + web.loads().size() + web.panels().size() +
           plat::sim::App::recorder().events().size();
}

// What the app is still doing, as a list of names (empty when idle). The push client's requests count too:
// the player it creates is what the portal registration carries; so does the core's report, which every launch
// posts to the log service, the kit host's settings download and onboarding, which end when its session closes,
// the measurement client's upload and the work it has queued, a notification the push client prepares while its
// media downloads, the crash reporter's reports of earlier launches until their upload ends, and the event kit's
// writes and uploads (a package on its way when the app crashes is sent again by the next launch).
std::string DeviceConsole::busyWith() const {
    const std::pair<const char*, bool> parts[] = {
        {"page load", anyPageLoading()},
        {"shell request", http_.busy()},
        {"push request", RadIrivozClient::hasRequestsInFlight()},
        {"push notification", RadIrivozHelper::hasNotificationRequestsInPreparation()},
        {"core report", DAVZarezuveLogger::hasFlushesInFlight()},
        {"kit settings", ZUVSettingsOnboardingManager::hasSessionsInFlight()},
        {"measurement upload", DMSMeasurement::hasRequestsInFlight()},
        {"measurement queue", DMSMeasurement::hasQueuedWork()},
        {"crash report", VZRCrashReportingController::hasReportsInFlight()},
        {"event kit", Zuvidir::hasWorkInFlight()},
    };
    std::string names;
    for (const auto& [name, busy] : parts) {
        if (busy)
            names += (names.empty() ? "" : ", ") + std::string(name);
    }
    return names;
}

void DeviceConsole::settleThen(std::function<void()> then) {
    struct Settle {
        std::weak_ptr<DeviceConsole> console;
        std::function<void()> then;
        double deadline;
        uint64_t marker = 0;
        int quiet = 0;
    };
    auto state = std::make_shared<Settle>(
        Settle{weak_from_this(), std::move(then), plat::Clock::uptime() + options_.settleTimeout});
    auto step = std::make_shared<std::function<void()>>();
    // The step re-arms itself through a weak copy, so nothing keeps it alive once the chain ends.
    *step = [state, weakStep = std::weak_ptr<std::function<void()>>(step)] {
        auto self = state->console.lock();
        if (!self || self->finished_) {
            return;
        }
        const std::string busyWith = self->busyWith();
        const bool busy = !busyWith.empty();
        const uint64_t marker = self->activityMarker();
        if (busy || marker != state->marker) {
            state->quiet = 0;
            state->marker = marker;
        } else {
            ++state->quiet;
        }
        if (state->quiet >= self->options_.quietRounds) {
            state->then();
            return;
        }
        if (plat::Clock::uptime() > state->deadline) {
            plat::printDevice("still busy after " +
                              std::to_string(static_cast<int>(self->options_.settleTimeout)) + " s (" +
                              (busyWith.empty() ? std::string("new activity") : busyWith) + "); going on");
            state->then();
            return;
        }
        if (auto again = weakStep.lock()) {
            plat::DispatchQueue::main()->asyncAfter(self->options_.pollInterval, [again] { (*again)(); });
        }
    };
    plat::DispatchQueue::main()->async([step] { (*step)(); });
}

void DeviceConsole::finish(int status, bool terminateApp) {
    if (finished_) {
        return;
    }
    finished_ = true;
    exitStatus_ = hadBadLine_ ? 2 : status;
    if (terminateApp) {
        plat::sim::App::terminate();
    } else {
        plat::MainLoop::stop();
    }
}

} // namespace console
