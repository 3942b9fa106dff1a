// The controller's user properties: set, removed and read on the worker queue, limited per origin and in
// public names, with the audiences re-evaluated inside the same transaction as the change.

#include "measurement/audiences/DMSAudience.hpp"
#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/engine/DMSScheduler.hpp"
#include "measurement/messages/DMSError.hpp"
#include "measurement/messages/DMSParameterChecks.hpp"
#include "measurement/storage/DMSDatabase.hpp"
#include "platform/dispatch/DispatchQueue.hpp"

namespace {

// Answers never come back on the caller's queue or on the worker queue.
void userPropertiesAnswer(std::function<void()> answer) {
    plat::DispatchQueue::global(plat::QoS::background)->async(std::move(answer));
}

plat::Value userPropertyReadableName(const std::string& name) {
    return plat::Value(DMSReadableUserPropertyName(DMSObject(plat::Value(name))));
}

} // namespace

void DMSMeasurement::setUserAttribute(const std::optional<DMSUserAttribute>& attribute) {
    if (!attribute) {
        monitor().logWithLevel(4, 23079, "Attempted to set nil user property");
        return;
    }
    scheduleBlock(__LINE__, [this, attribute = *attribute] { setUserAttributeOnWorkerQueue(attribute); });
}

void DMSMeasurement::removeUserAttribute(const std::optional<DMSUserAttribute>& attribute) {
    if (!attribute) {
        monitor().logWithLevel(4, 23074, "Attempted to remove nil user property");
        return;
    }
    scheduleBlock(__LINE__, [this, attribute = *attribute] { removeUserAttributeOnWorkerQueue(attribute); });
}

void DMSMeasurement::setUserAttributeOnWorkerQueue(const DMSUserAttribute& attribute) {
    DMSScheduler::checkOnBackgroundThreadWithMethodName("setUserAttributeOnWorkerQueue");
    if (!isEnabled() || !database_) {
        monitor().logWithLevel(7, 23081, "Analytics is disabled. User property not set");
        return;
    }
    database_->performTransaction([&] { return setUserPropertyInDatabaseOnWorkerQueue(attribute); });
}

bool DMSMeasurement::setUserPropertyInDatabaseOnWorkerQueue(const DMSUserAttribute& attribute) {
    auto& log = monitor();
    log.logWithLevel(7, 23080, "Setting user property. Name, value", userPropertyReadableName(attribute.name()),
                     attribute.value().object());
    plat::Error error;
    auto exists = database_->containsUserAttributeWithName(attribute.name(), &error);
    if (!exists) {
        log.logWithLevel(1, 23082, "Unable to query existence of user property. Name, error",
                         userPropertyReadableName(attribute.name()), error);
        return false;
    }
    if (!*exists) {
        plat::Error countError;
        auto count = attribute.isPublic() ? database_->publicUserAttributeCount(&countError)
                                          : database_->userAttributeCountForOrigin(attribute.origin(), &countError);
        if (!count || *count >= kMaxUserPropertiesPerOrigin) {
            if (!count) {
                log.logWithLevel(1, 23083, "Unable to query user property count. Origin, error",
                                 plat::Value(attribute.origin()), countError);
            } else {
                log.logWithLevel(4, 23084,
                                 "Unable to set user property. Reached limit on set user properties for origin. "
                                 "Origin, name, value",
                                 plat::Value(attribute.origin()), userPropertyReadableName(attribute.name()),
                                 attribute.value().object());
                DMSLogErrorEvent(DMSErrorCodeUserPropertyLimitReached);
            }
            return false;
        }
    }
    if (!database_->updateUserAttribute(&attribute, &error)) {
        log.logWithLevel(1, 23085, "Unable to set user property. Name, value, error",
                         userPropertyReadableName(attribute.name()), attribute.value().object(), error);
        return false;
    }
    if (!audience_ || !audience_->evaluateFiltersForUserProperty(attribute)) {
        log.logWithLevel(1, 23086, "Unable to evaluate user property. Name, value",
                         userPropertyReadableName(attribute.name()), attribute.value().object());
        return false;
    }
    log.logWithLevel(7, 23087, "User property set. Name, value", userPropertyReadableName(attribute.name()),
                     attribute.value().object());
    return true;
}

void DMSMeasurement::removeUserAttributeOnWorkerQueue(const DMSUserAttribute& attribute) {
    DMSScheduler::checkOnBackgroundThreadWithMethodName("removeUserAttributeOnWorkerQueue");
    auto& log = monitor();
    log.logWithLevel(7, 23075, "Removing user property. Name", userPropertyReadableName(attribute.name()));
    if (!isEnabled() || !database_) {
        log.logWithLevel(7, 23076, "Analytics is disabled. User property not removed");
        return;
    }
    plat::Error error;
    if (database_->deleteUserAttributeWithName(attribute.name(), &error) || error.domain.empty()) {
        log.logWithLevel(7, 23078, "User property removed. Name", userPropertyReadableName(attribute.name()));
    } else {
        log.logWithLevel(1, 23077, "Unable to remove user property. Name, error",
                         userPropertyReadableName(attribute.name()), error);
    }
}

void DMSMeasurement::userAttributeWithName(const std::string& name, UserAttributeCallback callback) {
    if (!callback) {
        monitor().logWithLevel(1, 23088, "userAttributeWithName callback is nil");
        return;
    }
    scheduleBlock(__LINE__, [this, name, callback = std::move(callback)] {
        std::optional<DMSUserAttribute> attribute;
        if (database_) {
            plat::Error error;
            attribute = database_->userAttributeWithName(name, &error);
            if (!attribute && !error.domain.empty()) {
                monitor().logWithLevel(1, 23089, "Unable to get user attribute by name. Name",
                                       userPropertyReadableName(name));
            }
        }
        userPropertiesAnswer([callback, attribute] { callback(attribute); });
    });
}

void DMSMeasurement::userPropertiesIncludingInternal(bool includeInternal, UserPropertiesCallback callback) {
    if (!callback) {
        monitor().logWithLevel(1, 23090, "Unable to retrieve user properties. Callback is nil");
        return;
    }
    scheduleBlock(__LINE__, [this, includeInternal, callback = std::move(callback)] {
        plat::Dictionary properties;
        std::optional<std::vector<DMSUserAttribute>> attributes;
        if (database_) {
            plat::Error error;
            attributes = database_->userAttributesIncludingInternal(includeInternal, &error);
            if (!attributes && !error.domain.empty()) {
                monitor().logWithLevel(1, 23091, "Unable to retrieve user properties. Error", error);
            }
        }
        for (const DMSUserAttribute& attribute : attributes.value_or(std::vector<DMSUserAttribute>{})) {
            if (attribute.name().empty()) {
                monitor().logWithLevel(1, 23092, "Cannot add invalid public user property name or value.");
                continue;
            }
            const DMSValue& value = attribute.value();
            if (const std::string* text = value.ifString()) {
                properties[attribute.name()] = plat::Value(*text);
            } else if (value.isDouble() && value.object().isNumber()) {
                properties[attribute.name()] = plat::Value(value.doubleValue());
            } else if (value.isInt64() && value.object().isNumber()) {
                properties[attribute.name()] = plat::Value(value.int64Value());
            }
        }
        userPropertiesAnswer([callback, properties = std::move(properties)] { callback(properties); });
    });
}

void DMSMeasurement::maxUserPropertiesForOrigin(const std::string& origin, MaxUserPropertiesCallback callback) {
    if (origin.empty()) {
        monitor().logWithLevel(1, 23093, "Origin for querying MaxUserProperties cannot be nil");
        return;
    }
    if (!callback) {
        monitor().logWithLevel(1, 23094, "MaxUserProperties callback cannot be nil. Origin", plat::Value(origin));
        return;
    }
    userPropertiesAnswer([callback] { callback(kMaxUserPropertiesPerOrigin); });
}
