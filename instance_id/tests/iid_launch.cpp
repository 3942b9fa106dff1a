// One launch of the instance-ID client on the simulated device, for tests that launch again on the same app
// home as a relaunched or reinstalled app would: boots on the bundle and home, runs the load hooks of the
// core and of the client, configures the core, then performs the requests in order and prints one
// `key=value` line per answer. The client's log lines go to standard error.
//
// iid_launch --bundle DIR --home DIR [REQUEST ...]
//   token ENTITY SCOPE         -> token=TOKEN
//   delete-token ENTITY SCOPE  -> delete-token=ok
//   get-id                     -> id=IDENTITY
//   delete-id                  -> delete-id=ok
//   instance-id                -> instance-id=IDENTITY TOKEN
//   apns-token HEX TYPE        -> apns-token=posted (after the re-fetches it caused)
//   app-instance-id            -> app-instance-id=IDENTITY, through the class looked up by name
// A failed request prints KEY-error=DOMAIN:CODE. Exit status: 0; 2 for bad arguments; 3 when the
// configuration raised (exception=NAME: REASON); 4 when a request got no answer in time.

#include "core/DAVApp.hpp"
#include "instance_id/DAVInstanceID.hpp"
#include "platform/device/Boot.hpp"
#include "platform/device/DeviceConfig.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/Base64.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr double kAnswerSeconds = 30;

std::string launchErrorText(const plat::Error& error) {
    return error.domain + ":" + std::to_string(error.code);
}

void printAnswer(const std::string& key, const std::optional<std::string>& value,
                 const std::optional<plat::Error>& error) {
    if (error || !value) {
        std::printf("%s-error=%s\n", key.c_str(), error ? launchErrorText(*error).c_str() : "none");
    } else {
        std::printf("%s=%s\n", key.c_str(), value->c_str());
    }
}

// The token operations (an app-reset unregister queued at start-up among them) have all ended.
bool launchOperationsSettled() {
    return DAVInstanceID::instanceID()->tokenManager()->tokenOperations()->operationCount() == 0;
}

} // namespace

int main(int argc, char** argv) {
    plat::DeviceConfig config;
    config.backend = plat::BackendKind::virtualTime;
    std::vector<std::string> requests;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--bundle" || arg == "--home") && i + 1 < argc) {
            (arg == "--bundle" ? config.bundlePath : config.appHome) = argv[++i];
        } else {
            requests.push_back(arg);
        }
    }
    if (config.bundlePath.empty() || config.appHome.empty()) {
        std::fprintf(stderr, "usage: iid_launch --bundle DIR --home DIR [REQUEST ...]\n");
        return 2;
    }
    plat::sim::Process::setArguments({argv[0], "-DAVDebugEnabled", "-DAVLoggerForceSTDERR"});
    const plat::rt::LoadHook hooks[] = {{"DAVApp", [] { DAVApp::load(); }}, DAVInstanceID::loadHook()};
    if (auto booted = plat::boot(config, hooks); !booted) {
        std::fprintf(stderr, "iid_launch: %s\n", booted.error().description().c_str());
        return 2;
    }
    try {
        DAVApp::configure();
    } catch (const plat::Exception& e) {
        std::printf("exception=%s: %s\n", e.name().c_str(), e.reason().c_str());
        plat::sim::Process::end(3);
    }
    plat::Virtual::runUntilIdle();
    auto iid = DAVInstanceID::instanceID();

    for (std::size_t i = 0; i < requests.size(); ++i) {
        const std::string& request = requests[i];
        auto argument = [&](std::size_t n) -> std::string {
            if (i + n >= requests.size()) {
                std::fprintf(stderr, "iid_launch: %s needs %zu arguments\n", request.c_str(), n);
                plat::sim::Process::end(2);
            }
            return requests[i + n];
        };
        bool answered = false;
        auto tokenAnswer = [&answered](const std::string& key) {
            return [&answered, key](std::optional<std::string> value, std::optional<plat::Error> error) {
                printAnswer(key, value, error);
                answered = true;
            };
        };
        auto doneAnswer = [&answered](const std::string& key) {
            return [&answered, key](std::optional<plat::Error> error) {
                printAnswer(key, std::string("ok"), error);
                answered = true;
            };
        };
        if (request == "token") {
            iid->tokenWithAuthorizedEntity(argument(1), argument(2), std::nullopt, tokenAnswer("token"));
            i += 2;
        } else if (request == "delete-token") {
            iid->deleteTokenWithAuthorizedEntity(argument(1), argument(2), doneAnswer("delete-token"));
            i += 2;
        } else if (request == "get-id") {
            iid->getIDWithHandler(tokenAnswer("id"));
        } else if (request == "delete-id") {
            iid->deleteIDWithHandler(doneAnswer("delete-id"));
        } else if (request == "instance-id") {
            iid->instanceIDWithHandler([&answered](std::optional<DAVInstanceIDResult> result,
                                                   std::optional<plat::Error> error) {
                printAnswer("instance-id",
                            result ? std::optional<std::string>(result->instanceID + " " + result->token.value_or("-"))
                                   : std::nullopt,
                            error);
                answered = true;
            });
        } else if (request == "apns-token") {
            const auto data = plat::hexDecode(argument(1));
            const std::string type = argument(2);
            i += 2;
            if (!data) {
                std::fprintf(stderr, "iid_launch: bad hex %s\n", requests[i - 1].c_str());
                plat::sim::Process::end(2);
            }
            plat::NotificationCenter::defaultCenter().post(
                kDAVInstanceIDAPNSTokenNotification, nullptr,
                plat::Dictionary{{kDAVInstanceIDNotificationObjectKey, plat::Value(*data)},
                                 {kDAVInstanceIDAPNSTokenTypeKey, plat::Value(std::atoll(type.c_str()))}});
            // The re-fetches leave from the main queue once the key pair is loaded.
            plat::Virtual::runUntilIdle();
            answered = plat::Virtual::runUntil(launchOperationsSettled, kAnswerSeconds);
            std::printf("apns-token=posted\n");
        } else if (request == "app-instance-id") {
            // As the measurement engine asks, by class name.
            plat::rt::Class* cls = plat::rt::getClass("DAVInstanceID");
            auto shared = cls ? plat::rt::msgSend<plat::rt::ObjectPtr>(*cls, "instanceID") : nullptr;
            std::optional<plat::Error> error;
            auto identity = shared ? plat::rt::msgSend<std::optional<std::string>>(*shared, "appInstanceID:", &error)
                                   : std::nullopt;
            printAnswer("app-instance-id", identity, error);
            answered = true;
        } else {
            std::fprintf(stderr, "iid_launch: unknown request %s\n", request.c_str());
            plat::sim::Process::end(2);
        }
        if (!plat::Virtual::runUntil([&answered] { return answered; }, kAnswerSeconds)) {
            std::printf("%s-error=timeout\n", request.c_str());
            plat::sim::Process::end(4);
        }
        plat::Virtual::runUntilIdle();
    }
    // An unregister queued at start-up (a reinstalled app) ends before the app does.
    plat::Virtual::runUntil(launchOperationsSettled, kAnswerSeconds);
    plat::Virtual::runUntilIdle();
    plat::sim::Process::end(0);
}
