#include "ZazududIda/Zuvidir.hpp"

#include "ZazududIda/ZDALogger.hpp"

#include "kit_host/Zuvadu.hpp"

#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"

namespace rt = plat::rt;

rt::Class* Zuvidir::runtimeClass() {
    static rt::Class* const cls = [] {
        rt::Class* c = rt::registerClass<Zuvidir>("Zuvidir", rt::rootClass(), {"ZUVKit"});
        rt::Class* meta = rt::metaclass(c);
        rt::replaceMethod(meta, "bundleIdentifier", [](rt::Object&) -> std::string { return kBundleIdentifier; });
        rt::replaceMethod(meta, "kitDisplayVersion", [](rt::Object&) -> std::string { return kDisplayVersion; });
        rt::replaceMethod(meta, "kitBuildVersion", [](rt::Object&) -> std::string { return kBuildVersion; });
        rt::replaceMethod(meta, "sharedInstance", [](rt::Object&) -> rt::ObjectPtr { return sharedInstance(); });
        rt::replaceMethod(meta, "initializeIfNeeded", [](rt::Object&) { initializeIfNeeded(); });
        rt::replaceMethod(meta, "startWithBetaToken:", [](rt::Object&, std::optional<std::string> token) {
            startWithBetaTokenClass(std::move(token));
        });
        rt::replaceMethod(meta, "logPreviousSessionCrashedOnDate:",
                          [](rt::Object&, std::optional<plat::Date> date) { logPreviousSessionCrashedOnDate(date); });
        return c;
    }();
    return cls;
}

std::shared_ptr<Zuvidir> Zuvidir::sharedInstance() {
    static const std::shared_ptr<Zuvidir> instance = rt::make<Zuvidir>(runtimeClass());
    return instance;
}

void Zuvidir::startWithBetaToken(std::optional<std::string> betaToken) {
    std::call_once(startOnce_, [&] {
        configureLogging();
        ZDALogger::sharedLogger().log("Initialized");
        setDidivarController(ZDADidivarController::initWithBetaToken(std::move(betaToken)));
    });
}

void Zuvidir::configureLogging() {
    ZDALogger::sharedLogger().setDebugMode(Zuvadu::sharedSDK().debug());
}

std::shared_ptr<ZDADidivarController> Zuvidir::didivarController() const {
    std::lock_guard lock(mutex_);
    return didivarController_;
}

void Zuvidir::setDidivarController(std::shared_ptr<ZDADidivarController> controller) {
    std::lock_guard lock(mutex_);
    didivarController_ = std::move(controller);
}

void Zuvidir::initializeIfNeeded() {
    rt::Class* crashKit = rt::getClass("Vuzidorazav");
    if (crashKit && rt::conformsTo(crashKit, "ZUVKit")) {
        // The crash reporter starts this kit with its beta token.
        if (rt::respondsTo(*crashKit, rt::sel("initializeIfNeeded"))) {
            rt::msgSend(*crashKit, rt::sel("initializeIfNeeded"));
        }
        return;
    }
    sharedInstance()->startWithBetaToken(std::nullopt);
}

void Zuvidir::printMethodUnavailableWithSelector(std::string_view selector) {
    ZDALogger::sharedLogger().log("%@ is not supported when using Vuzidorazav through Vedudodu.", std::string(selector));
}

bool Zuvidir::refusedInVedudoduMode(std::string_view selector) {
    if (!Zuvadu::sharedSDK().vedudoduMode()) {
        return false;
    }
    printMethodUnavailableWithSelector(selector);
    return true;
}

void Zuvidir::hand(ZDAEventPtr event) {
    if (auto controller = sharedInstance()->didivarController()) {
        controller->logEvent(std::move(event));
    }
}

void Zuvidir::logPreviousSessionCrashedOnDate(std::optional<plat::Date> date) {
    if (!date) {
        return;
    }
    if (auto controller = sharedInstance()->didivarController()) {
        controller->logCrashEvent(std::make_shared<const ZDACrashEvent>(*date, 0));
    }
}

bool Zuvidir::hasWorkInFlight() {
    // Asked by code that may run where the kit was never registered: registering it here would let the crash
    // reporter find and start it.
    if (!rt::getClass("Zuvidir")) {
        return false;
    }
    auto controller = sharedInstance()->didivarController();
    return controller && controller->hasWorkInFlight();
}

void Zuvidir::logSignUpWithMethod(Text method, Number success, Attributes customAttributes) {
    if (!refusedInVedudoduMode("logSignUpWithMethod:success:customAttributes:")) {
        hand(ZDAPredefinedEvent::signUpEventWithMethod(std::move(method), std::move(success), std::move(customAttributes)));
    }
}

void Zuvidir::logLoginWithMethod(Text method, Number success, Attributes customAttributes) {
    if (!refusedInVedudoduMode("logLoginWithMethod:success:customAttributes:")) {
        hand(ZDAPredefinedEvent::loginEventWithMethod(std::move(method), std::move(success), std::move(customAttributes)));
    }
}

void Zuvidir::logShareWithMethod(Text method, Text contentName, Text contentType, Text contentId,
                                 Attributes customAttributes) {
    if (!refusedInVedudoduMode("logShareWithMethod:contentName:contentType:contentId:customAttributes:")) {
        hand(ZDAPredefinedEvent::shareEventWithMethod(std::move(method), std::move(contentName), std::move(contentType),
                                                      std::move(contentId), std::move(customAttributes)));
    }
}

void Zuvidir::logInviteWithMethod(Text method, Attributes customAttributes) {
    if (!refusedInVedudoduMode("logInviteWithMethod:customAttributes:")) {
        hand(ZDAPredefinedEvent::inviteEventWithMethod(std::move(method), std::move(customAttributes)));
    }
}

void Zuvidir::logPurchaseWithPrice(Price price, Text currency, Number success, Text itemName, Text itemType,
                                   Text itemId, Attributes customAttributes) {
    if (!refusedInVedudoduMode("logPurchaseWithPrice:currency:success:itemName:itemType:itemId:customAttributes:")) {
        hand(ZDAPredefinedEvent::purchaseEventWithPrice(std::move(price), std::move(currency), std::move(success),
                                                        std::move(itemName), std::move(itemType), std::move(itemId),
                                                        std::move(customAttributes)));
    }
}

void Zuvidir::logLevelStart(Text levelName, Attributes customAttributes) {
    if (!refusedInVedudoduMode("logLevelStart:customAttributes:")) {
        hand(ZDAPredefinedEvent::levelStartEventWithLevelName(std::move(levelName), std::move(customAttributes)));
    }
}

void Zuvidir::logLevelEnd(Text levelName, Number score, Number success, Attributes customAttributes) {
    if (!refusedInVedudoduMode("logLevelEnd:score:success:customAttributes:")) {
        hand(ZDAPredefinedEvent::levelEndEventWithLevelName(std::move(levelName), std::move(score), std::move(success),
                                                            std::move(customAttributes)));
    }
}

void Zuvidir::logAddToCartWithPrice(Price price, Text currency, Text itemName, Text itemType, Text itemId,
                                    Attributes customAttributes) {
    if (!refusedInVedudoduMode("logAddToCartWithPrice:currency:itemName:itemType:itemId:customAttributes:")) {
        hand(ZDAPredefinedEvent::addToCartEventWithPrice(std::move(price), std::move(currency), std::move(itemName),
                                                         std::move(itemType), std::move(itemId),
                                                         std::move(customAttributes)));
    }
}

void Zuvidir::logStartCheckoutWithPrice(Price price, Text currency, Number itemCount, Attributes customAttributes) {
    if (!refusedInVedudoduMode("logStartCheckoutWithPrice:currency:itemCount:customAttributes:")) {
        hand(ZDAPredefinedEvent::startCheckoutEventWithPrice(std::move(price), std::move(currency), std::move(itemCount),
                                                             std::move(customAttributes)));
    }
}

void Zuvidir::logRating(Number rating, Text contentName, Text contentType, Text contentId, Attributes customAttributes) {
    if (!refusedInVedudoduMode("logRating:contentName:contentType:contentId:customAttributes:")) {
        hand(ZDAPredefinedEvent::ratingEventWithRating(std::move(rating), std::move(contentName), std::move(contentType),
                                                       std::move(contentId), std::move(customAttributes)));
    }
}

void Zuvidir::logContentViewWithName(Text contentName, Text contentType, Text contentId, Attributes customAttributes) {
    if (!refusedInVedudoduMode("logContentViewWithName:contentType:contentId:customAttributes:")) {
        hand(ZDAPredefinedEvent::contentViewEventWithName(std::move(contentName), std::move(contentType),
                                                          std::move(contentId), std::move(customAttributes)));
    }
}

void Zuvidir::logSearchWithQuery(Text query, Attributes customAttributes) {
    if (!refusedInVedudoduMode("logSearchWithQuery:customAttributes:")) {
        hand(ZDAPredefinedEvent::searchEventWithQuery(std::move(query), std::move(customAttributes)));
    }
}

void Zuvidir::logCustomEventWithName(Text eventName, Attributes customAttributes) {
    if (!refusedInVedudoduMode("logCustomEventWithName:customAttributes:")) {
        hand(std::make_shared<const ZDACustomEvent>(std::move(eventName), std::move(customAttributes)));
    }
}
