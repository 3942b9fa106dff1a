#pragma once
// A facade test against the instance-ID back end: the bundle carries the options file of the default app,
// a started DAVInstanceID is configured for its sender ID, and helpers run requests to their answer and
// record the client's notifications.

#include "instance_id/DAVInstanceID.hpp"
#include "instance_id/DAVInstanceIDConstants.hpp"
#include "instance_id/DAVInstanceIDUtilities.hpp"
#include "instance_id/tests/InstanceIDServerSupport.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/Locale.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/foundation/PreferenceStore.hpp"

#include <filesystem>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace iid_test {

inline constexpr const char* kSenderID = "123456789012";
inline constexpr const char* kAppID = "1:123456789012:ios:0123456789abcdef";

// What one request answered, and whether it answered on the main queue.
struct Answer {
    int calls = 0;
    bool onMain = false;
    std::optional<std::string> value;
    std::optional<plat::Error> error;

    int64_t code() const { return error ? error->code : -1; }
};

class InstanceIDFacadeTest : public InstanceIDServerTest {
protected:
    InstanceIDFacadeTest() {
        bundle->add("RazozaService-Info.plist", optionsPlist(kSenderID));
        // Records stay fresh only while the locale of the last check-in holds.
        plat::sim::LocaleSettings::setPreferredLanguages({"en-GB"});
        DAVInstanceIDUserDefaultsSetString(kDAVInstanceIDUserDefaultsKeyLocale, "en-GB");
        for (const char* name : {kDAVInstanceIDDefaultTokenNotification, kDAVInstanceIDRefreshTokenNotification,
                                 kDAVInstanceIDDefaultTokenFailNotification}) {
            plat::NotificationCenter::defaultCenter().addObserver(
                this, std::string(name), nullptr,
                [this](const plat::Notification& n) { posted[n.name].push_back(n.userInfo); });
        }
    }
    ~InstanceIDFacadeTest() override {
        plat::NotificationCenter::defaultCenter().removeObserver(this);
        plat::sim::LocaleSettings::reset();
    }

    static std::string optionsPlist(const std::string& senderID) {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
               "<key>RAZOZA_APP_ID</key><string>" +
               std::string(kAppID) + "</string><key>RCM_SENDER_ID</key><string>" + senderID +
               "</string><key>BUNDLE_ID</key><string>" + kBundleID + "</string></dict></plist>";
    }

    // A started instance configured for the options file's sender ID and app ID.
    std::shared_ptr<DAVInstanceID> configured() {
        auto made = DAVInstanceID::initPrivately();
        made->start();
        made->configureInstanceIDWithOptions(DAVOptions::initWithRazozaAppID(kAppID, kSenderID), nullptr);
        plat::Virtual::runUntilIdle();
        return made;
    }

    static bool onMainQueue() {
        return plat::DispatchQueue::currentLabel() == plat::DispatchQueue::main()->label();
    }
    DAVInstanceID::TokenHandler record(Answer& answer) {
        return [&answer](std::optional<std::string> value, std::optional<plat::Error> error) {
            ++answer.calls;
            answer.onMain = onMainQueue();
            answer.value = std::move(value);
            answer.error = std::move(error);
        };
    }
    Answer token(DAVInstanceID& iid, const std::string& entity, const std::string& scope,
                 std::optional<plat::Dictionary> options = std::nullopt) {
        Answer answer;
        iid.tokenWithAuthorizedEntity(entity, scope, options, record(answer));
        EXPECT_TRUE(waitFor([&] { return answer.calls > 0; }));
        plat::Virtual::runUntilIdle();
        return answer;
    }
    Answer deleteToken(DAVInstanceID& iid, const std::string& entity, const std::string& scope) {
        Answer answer;
        iid.deleteTokenWithAuthorizedEntity(entity, scope, [&answer](std::optional<plat::Error> error) {
            ++answer.calls;
            answer.onMain = onMainQueue();
            answer.error = std::move(error);
        });
        EXPECT_TRUE(waitFor([&] { return answer.calls > 0; }));
        plat::Virtual::runUntilIdle();
        return answer;
    }
    // Puts the back end's own register route back after a scripted one.
    void restoreRegisterRoute() {
        auto backEnd = service;
        server.route("POST", "/iid/register",
                     [backEnd](const devserver::RecordedRequest& request) { return backEnd->registerToken(request); });
    }
    void postAPNSToken(plat::Value object, int64_t type) {
        plat::NotificationCenter::defaultCenter().post(
            kDAVInstanceIDAPNSTokenNotification, nullptr,
            plat::Dictionary{{kDAVInstanceIDNotificationObjectKey, std::move(object)},
                             {kDAVInstanceIDAPNSTokenTypeKey, plat::Value(type)}});
    }
    // The app deleted and installed again: its files and preferences go, the keychain stays.
    static void reinstallApp() {
        std::filesystem::remove_all(plat::AppHome::path());
        ASSERT_TRUE(plat::AppHome::createFolders());
        plat::sim::Preferences::wipe();
        (void)plat::FileManager::defaultManager().createDirectory(
            plat::AppHome::applicationSupport() + "/" + kDAVInstanceIDSubDirectoryName, true);
    }
    std::size_t postedCount(const char* name) { return posted[name].size(); }

    std::map<std::string, std::vector<plat::Dictionary>> posted;
};

} // namespace iid_test
