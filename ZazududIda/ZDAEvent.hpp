#pragma once
// The records of the event log: one family rooted in ZDAEvent, each with a fresh UUID identifier and the
// time it was made. Four kinds: predefined events (twelve types with their own attributes), custom events
// (the app's name and attributes), lifecycle events (launch, install, application-state changes) and the
// crash of the previous session, logged at the crash's time. Events are made on the caller's thread and
// not changed once handed over.

#include "ZazududIda/ZDAAttributeDictionary.hpp"

#include "platform/foundation/Date.hpp"
#include "platform/foundation/Decimal.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/foundation/Value.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class ZDAEvent {
public:
    ZDAEvent();
    virtual ~ZDAEvent() = default;

    const std::string& identifier() const { return identifier_; }
    virtual plat::Date timestamp() const { return timestamp_; }
    virtual std::string name() const { return "unknown"; }
    virtual plat::Dictionary dictionaryRepresentation() const { return {}; }
    virtual bool triggersFlush() const { return false; }
    virtual std::string className() const { return "ZDAEvent"; }
    virtual std::string description() const;

private:
    std::string identifier_;
    plat::Date timestamp_;
};
using ZDAEventPtr = std::shared_ptr<const ZDAEvent>;

class ZDAPredefinedEvent : public ZDAEvent {
public:
    using Text = std::optional<std::string>;
    using Number = std::optional<plat::Value>;
    using Price = std::optional<plat::Decimal>;
    using Attributes = std::optional<plat::Dictionary>;
    using Ptr = std::shared_ptr<ZDAPredefinedEvent>;

    static Ptr signUpEventWithMethod(Text method, Number success, Attributes custom);
    static Ptr loginEventWithMethod(Text method, Number success, Attributes custom);
    static Ptr shareEventWithMethod(Text method, Text contentName, Text contentType, Text contentId,
                                    Attributes custom);
    static Ptr inviteEventWithMethod(Text method, Attributes custom);
    static Ptr purchaseEventWithPrice(Price price, Text currency, Number success, Text itemName, Text itemType,
                                      Text itemId, Attributes custom);
    static Ptr levelStartEventWithLevelName(Text levelName, Attributes custom);
    static Ptr levelEndEventWithLevelName(Text levelName, Number score, Number success, Attributes custom);
    static Ptr addToCartEventWithPrice(Price price, Text currency, Text itemName, Text itemType, Text itemId,
                                       Attributes custom);
    static Ptr startCheckoutEventWithPrice(Price price, Text currency, Number itemCount, Attributes custom);
    static Ptr ratingEventWithRating(Number rating, Text contentName, Text contentType, Text contentId,
                                     Attributes custom);
    static Ptr contentViewEventWithName(Text contentName, Text contentType, Text contentId, Attributes custom);
    static Ptr searchEventWithQuery(Text query, Attributes custom);

    const std::string& predefinedEventName() const { return predefinedEventName_; }
    void setPredefinedEventName(std::string name) { predefinedEventName_ = std::move(name); }
    const ZDAAttributeDictionary& predefinedAttributes() const { return predefinedAttributes_; }
    ZDAAttributeDictionary& predefinedAttributes() { return predefinedAttributes_; }
    void setPredefinedAttributes(ZDAAttributeDictionary a) { predefinedAttributes_ = std::move(a); }
    const ZDAAttributeDictionary& customAttributes() const { return customAttributes_; }
    void setCustomAttributes(ZDAAttributeDictionary a) { customAttributes_ = std::move(a); }

    std::string name() const override { return "predefined"; }
    plat::Dictionary dictionaryRepresentation() const override;
    std::string className() const override { return "ZDAPredefinedEvent"; }
    std::string description() const override;

private:
    static Ptr make(const char* type, const Attributes& custom);
    void addPlain(const char* key, const Text& value);
    void addPlain(const char* key, const Number& value);

    std::string predefinedEventName_;
    ZDAAttributeDictionary predefinedAttributes_;
    ZDAAttributeDictionary customAttributes_;
};

class ZDACustomEvent : public ZDAEvent {
public:
    // Both kept as given; an event without a name is represented without "custom_type".
    ZDACustomEvent(std::optional<std::string> customEventName, std::optional<plat::Dictionary> customAttributes);

    const std::optional<std::string>& customEventName() const { return customEventName_; }
    const std::optional<plat::Dictionary>& customAttributes() const { return customAttributes_; }
    void setCustomAttributes(std::optional<plat::Dictionary> a) { customAttributes_ = std::move(a); }
    // Built anew at each call, so the attribute rules and their console lines apply at representation.
    ZDAAttributeDictionary attributesDictionary() const;

    std::string name() const override { return "custom"; }
    plat::Dictionary dictionaryRepresentation() const override;
    std::string className() const override { return "ZDACustomEvent"; }
    std::string description() const override;

private:
    std::optional<std::string> customEventName_;
    std::optional<plat::Dictionary> customAttributes_;
};

class ZDALifecycleEvent : public ZDAEvent {
public:
    explicit ZDALifecycleEvent(std::string name) : name_(std::move(name)) {}
    explicit ZDALifecycleEvent(const plat::Notification& notification);
    static std::shared_ptr<ZDALifecycleEvent> installEvent();
    static std::shared_ptr<ZDALifecycleEvent> appLaunchedEvent();
    static std::shared_ptr<ZDALifecycleEvent> eventWithNotification(const plat::Notification& notification);

    // Application notification name -> event name, six entries.
    static const plat::Dictionary& notificationNameMap();
    // "unknown-notification" for a notification the map does not hold.
    static std::string nameFromNotification(const plat::Notification& notification);

    std::string name() const override { return name_; }
    plat::Dictionary dictionaryRepresentation() const override;
    bool triggersFlush() const override;
    std::string className() const override { return "ZDALifecycleEvent"; }

private:
    std::string name_;
};

class ZDACrashEvent : public ZDAEvent {
public:
    ZDACrashEvent(plat::Date crashTimestamp, uint64_t crashState)
        : crashTimestamp_(crashTimestamp), crashState_(crashState) {}

    plat::Date crashTimestamp() const { return crashTimestamp_; }
    void setCrashTimestamp(plat::Date d) { crashTimestamp_ = d; }
    uint64_t crashState() const { return crashState_; }
    void setCrashState(uint64_t s) { crashState_ = s; }

    // The crash is logged at the time it happened, not when this event was made.
    plat::Date timestamp() const override { return crashTimestamp_; }
    std::string name() const override;
    plat::Dictionary dictionaryRepresentation() const override;
    std::string className() const override { return "ZDACrashEvent"; }

private:
    plat::Date crashTimestamp_;
    uint64_t crashState_;
};
