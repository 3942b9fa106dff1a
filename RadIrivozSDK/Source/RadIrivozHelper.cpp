#include "RadIrivozSDK/Source/RadIrivozHelper.hpp"

#include "RadIrivozSDK/Source/RadIrivoz.hpp"
#include "RadIrivozSDK/Source/RadIrivozDialogController.hpp"
#include "RadIrivozSDK/Source/RadIrivozReachability.hpp"
#include "RadIrivozSDK/Source/RadIrivozSeams.hpp"
#include "RadIrivozSDK/Source/RadIrivozWebView.hpp"
#include "deployment/Deployment.hpp"
#include "platform/device/DeviceProfile.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/Digest.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/Random.hpp"
#include "platform/net/URL.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/UIApplication.hpp"
#include "platform/usernotifications/UNUserNotificationCenter.hpp"

#include <cctype>
#include <memory>
#include <mutex>
#include <regex>

namespace {

struct HelperState {
    std::mutex mutex;
    std::optional<plat::Dictionary> lastMessage;
    RIHandleNotificationReceivedBlock received;
    RIHandleNotificationActionBlock action;
    std::string lastReceivedId;
    std::optional<std::string> lastOpenedId;
    std::shared_ptr<RadIrivozWebView> webView;
    plat::rt::ObjectPtr sharedInstance;
};

HelperState& helperState() {
    static plat::NeverDestroyed<HelperState> s;
    return *s;
}

} // namespace

bool RadIrivozHelper::isRadIrivozPayload(const plat::Dictionary& userInfo) {
    const plat::Value info(userInfo);
    return info["custom"].contains("i") || info["os_data"].contains("i");
}

bool RadIrivozHelper::isRemoteSilentNotification(const plat::Dictionary& userInfo) {
    const plat::Value info(userInfo);
    const plat::Value& aps = info["aps"];
    if (info.contains("badge") || aps.contains("badge") || info.contains("m") || info.contains("o") ||
        info.contains("s")) {
        return false;
    }
    if (info["title"].size() > 0) {
        return false;
    }
    return !(info.contains("sound") || aps.contains("sound") || aps.contains("alert") ||
             info["os_data"].contains("buttons"));
}

void RadIrivozHelper::lastMessageReceived(std::optional<plat::Dictionary> message) {
    std::lock_guard lock(helperState().mutex);
    helperState().lastMessage = std::move(message);
}

void RadIrivozHelper::notificationBlocks(RIHandleNotificationReceivedBlock received,
                                         RIHandleNotificationActionBlock action) {
    std::lock_guard lock(helperState().mutex);
    helperState().received = std::move(received);
    helperState().action = std::move(action);
}

void RadIrivozHelper::handleNotificationReceived(RIInFocusDisplayType displayType) {
    RIHandleNotificationReceivedBlock block;
    std::optional<plat::Dictionary> message;
    {
        std::lock_guard lock(helperState().mutex);
        block = helperState().received;
        message = helperState().lastMessage;
    }
    if (!block || !message || !isRadIrivozPayload(*message)) {
        return;
    }
    auto payload = RINotificationPayload::parseWithApns(message);
    auto notification = std::make_shared<const RINotification>(payload, displayType);
    {
        std::lock_guard lock(helperState().mutex);
        // An absent id never counts as a repeat.
        if (payload->notificationID()) {
            if (*payload->notificationID() == helperState().lastReceivedId) {
                return;
            }
            helperState().lastReceivedId = *payload->notificationID();
        }
    }
    // The block runs without the lock: the app may call back into the client from it.
    block(notification);
}

void RadIrivozHelper::handleNotificationAction(RIOpenedActionType actionType,
                                               std::optional<std::string> actionID,
                                               RIInFocusDisplayType displayType) {
    std::optional<plat::Dictionary> message;
    {
        std::lock_guard lock(helperState().mutex);
        message = helperState().lastMessage;
    }
    if (!message || !isRadIrivozPayload(*message)) {
        return;
    }
    auto action = std::make_shared<const RINotificationAction>(actionType, std::move(actionID));
    auto payload = RINotificationPayload::parseWithApns(message);
    auto notification = std::make_shared<const RINotification>(payload, displayType);
    auto result = std::make_shared<const RINotificationOpenedResult>(notification, action);
    RIHandleNotificationActionBlock block;
    {
        std::lock_guard lock(helperState().mutex);
        if (payload->notificationID()) {
            if (helperState().lastOpenedId == payload->notificationID()) {
                return;
            }
            helperState().lastOpenedId = payload->notificationID();
        }
        block = helperState().action;
    }
    RadIrivozSeams::trackOpenEvent(*result);
    if (block) {
        block(result);
    }
}

void RadIrivozHelper::resetLocals() {
    std::lock_guard lock(helperState().mutex);
    helperState().lastMessage.reset();
    helperState().lastOpenedId.reset();
}

plat::Value RadIrivozHelper::getNetType() {
    auto reachability = RadIrivozReachability::reachabilityForInternetConnection();
    const bool wifi =
        reachability && reachability->currentReachabilityStatus() == RINetworkStatus::ReachableViaWiFi;
    return plat::Value(wifi ? 0 : 1);
}

std::string RadIrivozHelper::lowercaseHex(const plat::Data& bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out += kHex[b >> 4];
        out += kHex[b & 0xF];
    }
    return out;
}

std::string RadIrivozHelper::hashUsingMD5(std::string_view text) {
    return lowercaseHex(plat::Digest::md5(text));
}

std::string RadIrivozHelper::hashUsingSha1(std::string_view text) {
    return lowercaseHex(plat::Digest::sha1(text));
}

// ---- normalisation ----

namespace {

// The service's button entries as {"text", "id"}; an entry without a text cannot be shown and is skipped, and
// an entry that is no dictionary is no entry.
plat::Array standardButtons(const plat::Array& entries) {
    plat::Array buttons;
    for (const plat::Value& entry : entries) {
        const plat::Value* name = entry.find("n");
        if (!name) {
            continue;
        }
        const plat::Value* id = entry.find("i");
        buttons.push_back(plat::Value(plat::Dictionary{{"text", *name}, {"id", id ? *id : *name}}));
    }
    return buttons;
}

} // namespace

std::optional<plat::Dictionary>
RadIrivozHelper::formatApsPayloadIntoStandard(const plat::Dictionary& payload,
                                              const std::optional<std::string>& identifier) {
    const plat::Value info(payload);
    plat::Dictionary result = payload;
    plat::Dictionary custom;
    plat::Dictionary additional;
    std::optional<plat::Array> buttons;
    bool buttonsInDictionary = false;
    const bool osDataLayout = payload.contains("os_data");
    if (osDataLayout) {
        const plat::Value& listed = info["os_data"]["buttons"];
        if (listed.isArray()) {
            buttons = listed.asArray();
        } else if (listed["o"].isArray()) {
            buttons = listed["o"].asArray();
            buttonsInDictionary = true;
        }
    } else if (payload.contains("custom")) {
        if (const plat::Dictionary* d = info["custom"].ifDictionary()) {
            custom = *d;
        }
        if (const plat::Dictionary* a = info["custom"]["a"].ifDictionary()) {
            additional = *a;
        }
        if (info["o"].isArray()) {
            buttons = info["o"].asArray();
        }
    } else {
        return std::nullopt;
    }
    if (buttons) {
        additional.set("actionButtons", plat::Value(standardButtons(*buttons)));
    }
    if (identifier != std::optional<std::string>(plat::UNNotificationDefaultActionIdentifier)) {
        if (identifier) {
            additional.set("actionSelected", plat::Value(*identifier));
        } else {
            additional.erase("actionSelected");
        }
    }
    if (additional.empty()) {
        return result;
    }
    if (osDataLayout) {
        for (const auto& [key, value] : additional) {
            result.set(key, value);
        }
        // Without a message the dictionary form has no alert to make; "aps" stays as it was.
        if (const plat::Value* message = info["os_data"]["buttons"].find("m"); buttonsInDictionary && message) {
            result.set("aps", plat::Value(plat::Dictionary{{"alert", *message}}));
        }
    } else {
        custom.set("a", plat::Value(std::move(additional)));
        result.set("custom", plat::Value(std::move(custom)));
        if (const plat::Value* message = payload.find("m")) {
            result.set("aps", plat::Value(plat::Dictionary{{"alert", *message}}));
        }
    }
    return result;
}

// ---- launch URLs ----

namespace {

constexpr const char* kInAppLaunchURLKey = "RADIRIVOZ_INAPP_LAUNCH_URL";

std::string localized(std::string_view key) {
    return plat::Bundle::main()->localizedString(key, "", "");
}

void openLaunchURL(const plat::URL& url, bool inApp) {
    plat::DispatchQueue::main()->asyncAfter(0.25, [url, inApp] {
        if (inApp && RadIrivozHelper::isWWWScheme(url)) {
            std::shared_ptr<RadIrivozWebView> webView;
            {
                std::lock_guard lock(helperState().mutex);
                if (!helperState().webView) {
                    helperState().webView = RadIrivozWebView::make();
                }
                webView = helperState().webView;
            }
            webView->setUrl(url);
            webView->showInApp();
            return;
        }
        if (auto application = plat::UIApplication::sharedApplication()) {
            application->openURL(url.absoluteString(), {}, nullptr);
        }
    });
}

} // namespace

void RadIrivozHelper::displayWebView(const plat::URL& url) {
    auto& defaults = plat::UserDefaults::standardUserDefaults();
    if (!defaults.object(kInAppLaunchURLKey)) {
        defaults.set(kInAppLaunchURLKey, plat::Value(true));
        defaults.synchronize();
    }
    const auto stored = defaults.object(kInAppLaunchURLKey);
    // Store links are for the store app, whatever the app chose for its own links.
    const bool inApp = stored && stored->boolValue() &&
                       url.absoluteString().find(deployment::kAppStoreHost) == std::string::npos;
    if (!RadIrivoz::shouldPromptToShowURL()) {
        openLaunchURL(url, inApp);
        return;
    }
    const std::string format = localized("Would you like to open %@://%@");
    std::string message = format;
    for (const std::string& part : {url.scheme().value_or("(null)"), url.host().value_or("(null)")}) {
        if (auto at = message.find("%@"); at != std::string::npos) {
            message.replace(at, 2, part);
        }
    }
    RadIrivozDialogController::sharedInstance()->presentDialogWithTitle(
        localized("Open Website?"), message, localized("Open"), localized("Cancel"), [url, inApp](bool agreed) {
            if (agreed) {
                openLaunchURL(url, inApp);
            }
        });
}

bool RadIrivozHelper::verifyURL(const std::optional<std::string>& text) {
    return text && plat::URL::parse(*text).has_value();
}

bool RadIrivozHelper::isWWWScheme(const plat::URL& url) {
    std::string scheme = url.scheme().value_or("");
    for (char& c : scheme) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return scheme == "http" || scheme == "https";
}

std::optional<std::string> RadIrivozHelper::trimURLSpacing(const std::optional<std::string>& text) {
    if (!text) {
        return std::nullopt;
    }
    const size_t first = text->find_first_not_of(" \t");
    if (first == std::string::npos) {
        return std::string();
    }
    const size_t last = text->find_last_not_of(" \t");
    return text->substr(first, last - first + 1);
}

std::shared_ptr<RadIrivozWebView> RadIrivozHelper::webVC() {
    std::lock_guard lock(helperState().mutex);
    return helperState().webView;
}

// ---- device, strings and hashes ----

bool RadIrivozHelper::isIOSVersionGreaterOrEqual(float version) {
    return plat::DeviceProfile::floatVersion() >= version;
}

bool RadIrivozHelper::canGetNotificationTypes() {
    return isIOSVersionGreaterOrEqual(8.0f);
}

std::optional<std::string> RadIrivozHelper::getAppName() {
    auto name = plat::Bundle::main()->objectForInfoDictionaryKey("CFBundleName");
    if (name && name->isString()) {
        return name->asString();
    }
    return std::nullopt;
}

std::string RadIrivozHelper::randomStringWithLength(int32_t length) {
    static constexpr std::string_view kAlphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string out;
    for (int32_t i = 0; i < length; ++i) {
        out += kAlphabet[plat::Random::uniform(static_cast<uint32_t>(kAlphabet.size()))];
    }
    return out;
}

bool RadIrivozHelper::isValidEmail(std::string_view text) {
    // No address is longer than 254 characters; the check stops before the regular expression, whose
    // backtracking recurses per character and would exhaust the stack on a very long text.
    static constexpr size_t kLongestAddress = 254;
    if (text.empty() || text.size() > kLongestAddress) {
        return false;
    }
    static const std::regex pattern(
        R"(^[a-zA-Z0-9.!#$%&'*+/=?^_`{|}~-]+@((\[[0-9]{1,3}\.[0-9]{1,3}\.[0-9]{1,3}\.[0-9]{1,3}\])|(([a-zA-Z\-0-9]+\.)+[a-zA-Z]{2,}))$)",
        std::regex::ECMAScript | std::regex::icase);
    return std::regex_search(text.begin(), text.end(), pattern);
}

// ---- the shared instance and the main queue ----

plat::rt::ObjectPtr RadIrivozHelper::sharedInstance() {
    std::lock_guard lock(helperState().mutex);
    if (!helperState().sharedInstance) {
        plat::rt::Class* cls = plat::rt::registerClass("RadIrivoz", plat::rt::rootClass(),
                                                       {"UNUserNotificationCenterDelegate"});
        helperState().sharedInstance = plat::rt::createInstance(cls);
    }
    return helperState().sharedInstance;
}

void RadIrivozHelper::registerAsUNNotificationCenterDelegate() {
    auto center = plat::UNUserNotificationCenter::currentNotificationCenter();
    if (center && !center->delegate()) {
        center->setDelegate(sharedInstance());
    }
}

void RadIrivozHelper::dispatch_async_on_main_queue(std::function<void()> block) {
    plat::DispatchQueue::main()->async(std::move(block));
}

void RadIrivozHelper::runOnMainThread(const std::function<void()>& block) {
    auto main = plat::DispatchQueue::main();
    if (main->isCurrent()) {
        block();
    } else {
        main->sync([&block] { block(); });
    }
}

void RadIrivozHelper::performSelector(std::function<void()> action, double delay) {
    plat::DispatchQueue::main()->async([action = std::move(action), delay]() mutable {
        plat::DispatchQueue::main()->asyncAfter(delay, std::move(action));
    });
}
