#pragma once
// The event kit's public face: the class methods that log the twelve predefined events and custom events,
// the crash reporter's call that records a crash of the previous session, and the kit object the kit host
// starts (runtime class "Zuvidir", declaring the kit protocol "ZUVKit"). Each logging method builds one
// event and hands it to the single controller; before the kit is started events are dropped. While the kit
// host runs in Vedudodu mode the logging methods refuse and log nothing.

#include "ZazududIda/ZDADidivarController.hpp"
#include "ZazududIda/ZDAEvent.hpp"

#include "platform/foundation/Date.hpp"
#include "platform/runtime/Class.hpp"
#include "platform/runtime/Object.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

class Zuvidir : public plat::rt::Object {
public:
    static constexpr const char* kBundleIdentifier = "com.ruzovid.didivar.ios";
    static constexpr const char* kDisplayVersion = "1.4.0";
    static constexpr const char* kBuildVersion = "31";

    using Text = ZDAPredefinedEvent::Text;
    using Number = ZDAPredefinedEvent::Number;
    using Price = ZDAPredefinedEvent::Price;
    using Attributes = ZDAPredefinedEvent::Attributes;

    explicit Zuvidir(plat::rt::Class* cls) : plat::rt::Object(cls) {}

    // Registered with its class methods on first use ("bundleIdentifier", "kitDisplayVersion",
    // "kitBuildVersion", "initializeIfNeeded", "sharedInstance", "startWithBetaToken:" taking
    // std::optional<std::string>, "logPreviousSessionCrashedOnDate:" taking std::optional<plat::Date>).
    static plat::rt::Class* runtimeClass();
    static std::shared_ptr<Zuvidir> sharedInstance();

    static void logSignUpWithMethod(Text method, Number success, Attributes customAttributes);
    static void logLoginWithMethod(Text method, Number success, Attributes customAttributes);
    static void logShareWithMethod(Text method, Text contentName, Text contentType, Text contentId,
                                   Attributes customAttributes);
    static void logInviteWithMethod(Text method, Attributes customAttributes);
    static void logPurchaseWithPrice(Price price, Text currency, Number success, Text itemName, Text itemType,
                                     Text itemId, Attributes customAttributes);
    static void logLevelStart(Text levelName, Attributes customAttributes);
    static void logLevelEnd(Text levelName, Number score, Number success, Attributes customAttributes);
    static void logAddToCartWithPrice(Price price, Text currency, Text itemName, Text itemType, Text itemId,
                                      Attributes customAttributes);
    static void logStartCheckoutWithPrice(Price price, Text currency, Number itemCount, Attributes customAttributes);
    static void logRating(Number rating, Text contentName, Text contentType, Text contentId,
                          Attributes customAttributes);
    static void logContentViewWithName(Text contentName, Text contentType, Text contentId,
                                       Attributes customAttributes);
    static void logSearchWithQuery(Text query, Attributes customAttributes);
    static void logCustomEventWithName(Text eventName, Attributes customAttributes);

    // Not refused in Vedudodu mode: the crash reporter's record of the previous session's crash.
    static void logPreviousSessionCrashedOnDate(std::optional<plat::Date> date);
    // Whether the kit's controller still has events to write or uploads on their way (false before start).
    static bool hasWorkInFlight();
    static void printMethodUnavailableWithSelector(std::string_view selector);
    static void startWithBetaTokenClass(std::optional<std::string> betaToken) {
        sharedInstance()->startWithBetaToken(std::move(betaToken));
    }
    // The kit host's start hook: hands over to the crash reporter's kit when it is there.
    static void initializeIfNeeded();

    // Once per process, whatever the token.
    void startWithBetaToken(std::optional<std::string> betaToken);
    void configureLogging();
    std::shared_ptr<ZDADidivarController> didivarController() const;
    void setDidivarController(std::shared_ptr<ZDADidivarController> controller);

private:
    // True (after the console line) when the kit host runs in Vedudodu mode.
    static bool refusedInVedudoduMode(std::string_view selector);
    static void hand(ZDAEventPtr event);

    std::once_flag startOnce_;
    mutable std::mutex mutex_;
    std::shared_ptr<ZDADidivarController> didivarController_;
};
