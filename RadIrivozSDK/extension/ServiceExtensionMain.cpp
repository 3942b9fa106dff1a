// Entry of the `radirivoz-service-extension` program: the app's notification service extension as the device
// runs it, a process of its own booted with the ".appex" bundle that sits inside the app bundle. Its principal
// class hands each push to the push client's extension entry points; the badge count and the analytics state
// reach the app through the app group's preferences, which both processes change under a file lock.

#include "RadIrivozSDK/Source/RadIrivoz.hpp"
#include "platform/device/Boot.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/DispatchSemaphore.hpp"
#include "platform/foundation/Json.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/usernotifications/SimServiceExtension.hpp"
#include "platform/usernotifications/UNNotification.hpp"
#include "platform/usernotifications/UNNotificationAttachment.hpp"
#include "platform/usernotifications/UNNotificationContent.hpp"
#include "platform/usernotifications/UNNotificationServiceExtension.hpp"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace {

constexpr const char* kServiceUsage =
    "usage: radirivoz-service-extension --bundle APPEX --home DIR [--os-version X.Y[.Z]] [--repeat N] [--expire]\n"
    "                                   [PAYLOAD]\n"
    "Runs the app's notification service extension on a push: the device boots with the extension bundle APPEX\n"
    "(a folder ending in \".appex\" inside the app bundle, e.g. Portal.app/PlugIns/Service.appex) and hands the\n"
    "extension the push PAYLOAD (a JSON object; read from standard input when not given) N times. Each content the\n"
    "extension hands back is printed on standard output as one JSON line.\n"
    "  --home DIR         the app home of the app the extension belongs to (its app groups live beside it)\n"
    "  --os-version X.Y   the simulated OS version (default: 12.4)\n"
    "  --repeat N         hands the push over N times, one after the other (default: 1)\n"
    "  --expire           tells the extension that its time is up as soon as it has the push\n"
    "The network: PORTAL_APP_RESOLVE=host:port:address:port[,...], PORTAL_APP_CA_FILE=FILE (PEM).\n"
    "Exit status: 0 when the extension answered every push; 1 when it did not start or left a push unanswered;\n"
    "2 for bad arguments or a payload that is no JSON object.\n";

// The device gives an extension about half a minute per push.
constexpr double kServiceTimeLimit = 30;

struct ServiceOptions {
    std::string bundle;
    std::string home;
    std::string osVersion = "12.4";
    long repeat = 1;
    bool expire = false;
    std::optional<std::string> payload;
};

std::optional<ServiceOptions> parseServiceOptions(int argc, char** argv) {
    ServiceOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "radirivoz-service-extension: %s needs a value\n", arg.c_str());
                return std::nullopt;
            }
            return std::string(argv[++i]);
        };
        std::optional<std::string> given;
        if (arg == "--bundle" || arg == "--home" || arg == "--os-version" || arg == "--repeat") {
            given = value();
            if (!given) {
                return std::nullopt;
            }
        }
        if (arg == "--bundle") {
            options.bundle = *given;
        } else if (arg == "--home") {
            options.home = *given;
        } else if (arg == "--os-version") {
            options.osVersion = *given;
        } else if (arg == "--repeat") {
            char* end = nullptr;
            options.repeat = std::strtol(given->c_str(), &end, 10);
            if (given->empty() || *end != '\0' || options.repeat < 1 || options.repeat > 100000) {
                std::fprintf(stderr, "radirivoz-service-extension: --repeat needs a count from 1 to 100000\n");
                return std::nullopt;
            }
        } else if (arg == "--expire") {
            options.expire = true;
        } else if (!arg.empty() && arg[0] != '-' && !options.payload) {
            options.payload = arg;
        } else {
            std::fprintf(stderr, "radirivoz-service-extension: unknown argument %s\n", arg.c_str());
            return std::nullopt;
        }
    }
    if (options.bundle.empty() || options.home.empty()) {
        std::fprintf(stderr, "radirivoz-service-extension: --bundle and --home are needed\n");
        return std::nullopt;
    }
    return options;
}

// What the device would refuse to start: a bundle that is no extension inside an app.
std::optional<std::string> serviceBundleProblem(const std::string& bundle) {
    std::filesystem::path path(bundle);
    if (!path.has_filename()) {
        path = path.parent_path();
    }
    if (path.extension() != ".appex") {
        return "the extension bundle " + bundle + " does not end in \".appex\"";
    }
    if (!std::filesystem::is_regular_file(path / "Info.plist")) {
        return "the extension bundle " + bundle + " has no Info.plist";
    }
    return std::nullopt;
}

std::optional<std::string> readStandardInput() {
    std::string text;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(0, chunk, sizeof chunk);
        if (n == 0) {
            return text;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        text.append(chunk, static_cast<size_t>(n));
    }
}

// One push the extension is working on. The device's handler may run once: the full answer and the one made
// when time runs out race, and the first wins.
struct ServiceWork {
    std::shared_ptr<plat::UNNotificationRequest> request;
    plat::UNContentHandler handler;
    std::atomic<bool> answered{false};
    plat::DispatchSemaphore finished{0};
};

struct ServiceProgramState {
    std::mutex mutex;
    std::shared_ptr<ServiceWork> current;
    plat::DispatchSemaphore answered{0};
};

ServiceProgramState& serviceProgram() {
    static plat::NeverDestroyed<ServiceProgramState> state;
    return *state;
}

void answerServiceWork(ServiceWork& work, const std::shared_ptr<plat::UNMutableNotificationContent>& content) {
    if (work.answered.exchange(true)) {
        return;
    }
    work.handler(content);
    serviceProgram().answered.signal();
}

// The extension's principal class, as the app's developers write it: everything goes to the push client.
// The work runs off the main thread, since media downloads wait for the network.
constexpr const char* kServiceClassName = "NotificationService";

void registerServiceClass() {
    plat::rt::Class* cls = plat::rt::registerClass(kServiceClassName, plat::UNNotificationServiceExtension::runtimeClass());
    plat::rt::addMethod(cls, plat::kDidReceiveNotificationRequestSelector,
                        [](plat::rt::Object&, plat::rt::ObjectPtr request, plat::UNContentHandler handler) {
                            auto work = std::make_shared<ServiceWork>();
                            work->request = std::dynamic_pointer_cast<plat::UNNotificationRequest>(request);
                            work->handler = std::move(handler);
                            {
                                std::lock_guard lock(serviceProgram().mutex);
                                serviceProgram().current = work;
                            }
                            plat::DispatchQueue::global()->async([work] {
                                answerServiceWork(*work,
                                                  RadIrivoz::didReceiveNotificationExtensionRequest(work->request, nullptr));
                                work->finished.signal();
                            });
                        });
    plat::rt::addMethod(cls, plat::kServiceExtensionTimeWillExpireSelector, [](plat::rt::Object&) {
        std::shared_ptr<ServiceWork> work;
        {
            std::lock_guard lock(serviceProgram().mutex);
            work = serviceProgram().current;
        }
        if (work && !work->answered.load()) {
            answerServiceWork(*work, RadIrivoz::serviceExtensionTimeWillExpireRequest(work->request, nullptr));
        }
    });
}

plat::Value describeContent(const plat::sim::ServiceDelivery& delivery) {
    plat::Dictionary line{{"identifier", plat::Value(delivery.identifier)}, {"handled", plat::Value(delivery.handled)}};
    if (!delivery.content) {
        line.set("content", plat::Value());
        return plat::Value(std::move(line));
    }
    const auto& content = *delivery.content;
    line.set("title", plat::Value(content.title()));
    line.set("subtitle", plat::Value(content.subtitle()));
    line.set("body", plat::Value(content.body()));
    line.set("badge", content.badge() ? plat::Value(*content.badge()) : plat::Value());
    line.set("category", plat::Value(content.categoryIdentifier()));
    plat::Array attachments;
    for (const auto& attachment : content.attachments()) {
        attachments.push_back(plat::Value(plat::Dictionary{{"identifier", plat::Value(attachment->identifier())},
                                                           {"file", plat::Value(attachment->url().path())}}));
    }
    line.set("attachments", plat::Value(std::move(attachments)));
    return plat::Value(std::move(line));
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    auto options = parseServiceOptions(argc, argv);
    if (!options) {
        std::fputs(kServiceUsage, stderr);
        return 2;
    }
    if (auto problem = serviceBundleProblem(options->bundle)) {
        std::fprintf(stderr, "radirivoz-service-extension: %s\n", problem->c_str());
        return 2;
    }
    const auto text = options->payload ? options->payload : readStandardInput();
    if (!text) {
        std::fprintf(stderr, "radirivoz-service-extension: cannot read the push payload from standard input\n");
        return 2;
    }
    auto parsed = plat::JSONSerialization::jsonObject(*text);
    if (!parsed || !parsed->isDictionary()) {
        const std::string why = parsed ? std::string() : ": " + parsed.error().description();
        std::fprintf(stderr, "radirivoz-service-extension: the push payload is no JSON object%s\n", why.c_str());
        return 2;
    }

    plat::DeviceConfig device;
    device.backend = plat::BackendKind::threaded;
    device.osVersion = options->osVersion;
    device.appHome = options->home;
    device.bundlePath = options->bundle;
    plat::sim::Process::setArguments({argv[0]});
    if (auto booted = plat::boot(device); !booted) {
        std::fprintf(stderr, "radirivoz-service-extension: %s\n", booted.error().displayText().c_str());
        return 2;
    }
    registerServiceClass();
    if (!plat::sim::ServiceExtension::start()) {
        std::fprintf(stderr,
                     "radirivoz-service-extension: the bundle's NSExtension / NSExtensionPrincipalClass does not name "
                     "the notification service class %s\n",
                     kServiceClassName);
        plat::sim::Process::end(1);
    }

    int status = 0;
    for (long n = 0; n < options->repeat; ++n) {
        plat::sim::ServiceExtension::deliver(*parsed);
        if (options->expire) {
            plat::sim::ServiceExtension::timeWillExpire();
        }
        std::shared_ptr<ServiceWork> work;
        {
            std::lock_guard lock(serviceProgram().mutex);
            work = serviceProgram().current;
        }
        if (!serviceProgram().answered.wait(kServiceTimeLimit)) {
            std::fprintf(stderr, "radirivoz-service-extension: the extension did not answer in %g s\n",
                         kServiceTimeLimit);
            status = 1;
            break;
        }
        // The work started for the push goes on after an early answer; the next push waits for it, so its
        // badge change is not lost when the process ends.
        if (work && !work->finished.wait(kServiceTimeLimit)) {
            status = 1;
            break;
        }
    }
    for (const auto& delivery : plat::sim::ServiceExtension::deliveries()) {
        auto line = plat::JSONSerialization::string(describeContent(delivery));
        std::printf("%s\n", line ? line->c_str() : "{}");
    }
    plat::sim::Process::end(status);
}
