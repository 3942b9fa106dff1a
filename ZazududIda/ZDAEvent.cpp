#include "ZazududIda/ZDAEvent.hpp"

#include "ZazududIda/ZDAConstants.hpp"

#include "kit_host/ZUVUtilities.hpp"
#include "platform/foundation/Format.hpp"
#include "platform/uikit/UIKitTypes.hpp"

ZDAEvent::ZDAEvent() : identifier_(ZUVCreateUUIDString()), timestamp_(plat::Date::now()) {}

std::string ZDAEvent::description() const {
    return plat::format("<%@: %@>", className(), identifier_);
}

// ---- predefined events --------------------------------------------------------------------------------

ZDAPredefinedEvent::Ptr ZDAPredefinedEvent::make(const char* type, const Attributes& custom) {
    auto event = std::make_shared<ZDAPredefinedEvent>();
    event->predefinedEventName_ = type;
    event->customAttributes_ = ZDAAttributeDictionary(custom);
    event->predefinedAttributes_ = ZDAAttributeDictionary();
    return event;
}

void ZDAPredefinedEvent::addPlain(const char* key, const Text& value) {
    predefinedAttributes_.addAttribute(value ? std::optional<plat::Value>(plat::Value(*value)) : std::nullopt,
                                       plat::Value(key));
}

void ZDAPredefinedEvent::addPlain(const char* key, const Number& value) {
    predefinedAttributes_.addAttribute(value, plat::Value(key));
}

ZDAPredefinedEvent::Ptr ZDAPredefinedEvent::signUpEventWithMethod(Text method, Number success, Attributes custom) {
    auto e = make(zda::kSignUp, custom);
    e->addPlain(zda::kMethod, method);
    e->predefinedAttributes_.addBooleanAttribute(success, zda::kSuccess);
    return e;
}

ZDAPredefinedEvent::Ptr ZDAPredefinedEvent::loginEventWithMethod(Text method, Number success, Attributes custom) {
    auto e = make(zda::kLogin, custom);
    e->addPlain(zda::kMethod, method);
    e->predefinedAttributes_.addBooleanAttribute(success, zda::kSuccess);
    return e;
}

ZDAPredefinedEvent::Ptr ZDAPredefinedEvent::shareEventWithMethod(Text method, Text contentName, Text contentType,
                                                                 Text contentId, Attributes custom) {
    auto e = make(zda::kShare, custom);
    e->addPlain(zda::kMethod, method);
    e->addPlain(zda::kContentName, contentName);
    e->addPlain(zda::kContentType, contentType);
    e->addPlain(zda::kContentId, contentId);
    return e;
}

ZDAPredefinedEvent::Ptr ZDAPredefinedEvent::inviteEventWithMethod(Text method, Attributes custom) {
    auto e = make(zda::kInvite, custom);
    e->addPlain(zda::kMethod, method);
    return e;
}

ZDAPredefinedEvent::Ptr ZDAPredefinedEvent::purchaseEventWithPrice(Price price, Text currency, Number success,
                                                                   Text itemName, Text itemType, Text itemId,
                                                                   Attributes custom) {
    auto e = make(zda::kPurchase, custom);
    e->predefinedAttributes_.addPriceAttribute(price, zda::kItemPrice);
    e->addPlain(zda::kCurrency, currency);
    e->predefinedAttributes_.addBooleanAttribute(success, zda::kSuccess);
    e->addPlain(zda::kItemName, itemName);
    e->addPlain(zda::kItemType, itemType);
    e->addPlain(zda::kItemId, itemId);
    return e;
}

ZDAPredefinedEvent::Ptr ZDAPredefinedEvent::levelStartEventWithLevelName(Text levelName, Attributes custom) {
    auto e = make(zda::kLevelStart, custom);
    e->addPlain(zda::kLevelName, levelName);
    return e;
}

ZDAPredefinedEvent::Ptr ZDAPredefinedEvent::levelEndEventWithLevelName(Text levelName, Number score, Number success,
                                                                       Attributes custom) {
    auto e = make(zda::kLevelEnd, custom);
    e->addPlain(zda::kLevelName, levelName);
    e->addPlain(zda::kScore, score);
    e->predefinedAttributes_.addBooleanAttribute(success, zda::kSuccess);
    return e;
}

ZDAPredefinedEvent::Ptr ZDAPredefinedEvent::addToCartEventWithPrice(Price price, Text currency, Text itemName,
                                                                    Text itemType, Text itemId, Attributes custom) {
    auto e = make(zda::kAddToCart, custom);
    e->predefinedAttributes_.addPriceAttribute(price, zda::kItemPrice);
    e->addPlain(zda::kCurrency, currency);
    e->addPlain(zda::kItemName, itemName);
    e->addPlain(zda::kItemType, itemType);
    e->addPlain(zda::kItemId, itemId);
    return e;
}

ZDAPredefinedEvent::Ptr ZDAPredefinedEvent::startCheckoutEventWithPrice(Price price, Text currency, Number itemCount,
                                                                        Attributes custom) {
    auto e = make(zda::kStartCheckout, custom);
    e->predefinedAttributes_.addPriceAttribute(price, zda::kTotalPrice);
    e->addPlain(zda::kCurrency, currency);
    e->addPlain(zda::kItemCount, itemCount);
    return e;
}

ZDAPredefinedEvent::Ptr ZDAPredefinedEvent::ratingEventWithRating(Number rating, Text contentName, Text contentType,
                                                                  Text contentId, Attributes custom) {
    auto e = make(zda::kRating, custom);
    e->addPlain(zda::kRatingKey, rating);
    e->addPlain(zda::kContentName, contentName);
    e->addPlain(zda::kContentType, contentType);
    e->addPlain(zda::kContentId, contentId);
    return e;
}

ZDAPredefinedEvent::Ptr ZDAPredefinedEvent::contentViewEventWithName(Text contentName, Text contentType,
                                                                     Text contentId, Attributes custom) {
    auto e = make(zda::kContentView, custom);
    e->addPlain(zda::kContentName, contentName);
    e->addPlain(zda::kContentType, contentType);
    e->addPlain(zda::kContentId, contentId);
    return e;
}

ZDAPredefinedEvent::Ptr ZDAPredefinedEvent::searchEventWithQuery(Text query, Attributes custom) {
    auto e = make(zda::kSearch, custom);
    e->addPlain(zda::kQuery, query);
    return e;
}

plat::Dictionary ZDAPredefinedEvent::dictionaryRepresentation() const {
    return plat::Dictionary{
        {zda::kEventIdKey, plat::Value(identifier())},
        {"predefined_type", plat::Value(predefinedEventName_)},
        {zda::kCustomAttributesKey, plat::Value(customAttributes_.dictionaryRepresentation())},
        {"predefined_attributes", plat::Value(predefinedAttributes_.dictionaryRepresentation())},
    };
}

std::string ZDAPredefinedEvent::description() const {
    return plat::format("<%@: %@\n%@\n%@>", className(), predefinedEventName_, predefinedAttributes_.description(),
                        customAttributes_.description());
}

// ---- custom events ------------------------------------------------------------------------------------

ZDACustomEvent::ZDACustomEvent(std::optional<std::string> customEventName,
                               std::optional<plat::Dictionary> customAttributes)
    : customEventName_(std::move(customEventName)), customAttributes_(std::move(customAttributes)) {}

ZDAAttributeDictionary ZDACustomEvent::attributesDictionary() const {
    return ZDAAttributeDictionary(customAttributes_);
}

plat::Dictionary ZDACustomEvent::dictionaryRepresentation() const {
    plat::Dictionary d{{zda::kEventIdKey, plat::Value(identifier())}};
    if (customEventName_) {
        d.set("custom_type", plat::Value(*customEventName_));
    }
    d.set(zda::kCustomAttributesKey, plat::Value(attributesDictionary().dictionaryRepresentation()));
    return d;
}

std::string ZDACustomEvent::description() const {
    // A nameless event reads "(null)", as a nil name prints.
    const std::optional<plat::Value> name =
        customEventName_ ? std::optional<plat::Value>(plat::Value(*customEventName_)) : std::nullopt;
    return plat::format("<%@: %@\n%@>", className(), name, attributesDictionary().description());
}

// ---- lifecycle events ---------------------------------------------------------------------------------

ZDALifecycleEvent::ZDALifecycleEvent(const plat::Notification& notification)
    : name_(nameFromNotification(notification)) {}

std::shared_ptr<ZDALifecycleEvent> ZDALifecycleEvent::installEvent() {
    return std::make_shared<ZDALifecycleEvent>(std::string(zda::kAppInstalled));
}

std::shared_ptr<ZDALifecycleEvent> ZDALifecycleEvent::appLaunchedEvent() {
    return std::make_shared<ZDALifecycleEvent>(std::string(zda::kAppLaunched));
}

std::shared_ptr<ZDALifecycleEvent> ZDALifecycleEvent::eventWithNotification(const plat::Notification& notification) {
    return std::make_shared<ZDALifecycleEvent>(notification);
}

const plat::Dictionary& ZDALifecycleEvent::notificationNameMap() {
    static const plat::Dictionary map{
        {plat::UIApplicationWillTerminateNotification, plat::Value(zda::kAppTerminated)},
        {plat::UIApplicationDidReceiveMemoryWarningNotification, plat::Value(zda::kAppMemoryWarning)},
        {plat::UIApplicationWillEnterForegroundNotification, plat::Value(zda::kAppEnteredForeground)},
        {plat::UIApplicationDidEnterBackgroundNotification, plat::Value(zda::kAppEnteredBackground)},
        {plat::UIApplicationWillResignActiveNotification, plat::Value(zda::kAppBecameInactive)},
        {plat::UIApplicationDidBecomeActiveNotification, plat::Value(zda::kAppBecameActive)},
    };
    return map;
}

std::string ZDALifecycleEvent::nameFromNotification(const plat::Notification& notification) {
    const plat::Value* name = notificationNameMap().find(notification.name);
    return name ? name->asString() : "unknown-notification";
}

plat::Dictionary ZDALifecycleEvent::dictionaryRepresentation() const {
    return plat::Dictionary{{zda::kEventIdKey, plat::Value(identifier())}};
}

bool ZDALifecycleEvent::triggersFlush() const {
    return name_ == zda::kAppBecameInactive || name_ == zda::kAppBecameActive || name_ == zda::kAppInstalled;
}

// ---- crash events -------------------------------------------------------------------------------------

std::string ZDACrashEvent::name() const {
    return zda::kAppCrashed;
}

plat::Dictionary ZDACrashEvent::dictionaryRepresentation() const {
    const char* state = crashState_ == 1 ? "foreground" : (crashState_ == 2 ? "background" : "unknown");
    return plat::Dictionary{{zda::kEventIdKey, plat::Value(identifier())}, {"crash_state", plat::Value(state)}};
}
