#pragma once
// The entry of the measurement client. Every public call reaches the controller through three queues: the
// caller's thread checks names and values, "DMSAnalyticsTimestampQueue" stamps events in call order,
// "DMSAnalyticsOperationQueue" (one at a time, held until start-up ends) keeps the order, and the serial
// queue "DMSAnalyticsQueue" makes every call into the controller. Also start-up, the configuration
// notifications, the app-delegate interception, open URLs, the log-event interceptor and listeners.

#include "measurement/storage/DMSEvent.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/foundation/Value.hpp"
#include "platform/runtime/Object.hpp"
#include "platform/storekit/SKPaymentQueue.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace plat {
class OperationQueue;
}

class DMSAnalytics : public plat::SKPaymentTransactionObserver {
public:
    static constexpr const char* kOptionConfiguration = "VEDUDODU_ANALYTICS_CONFIGURATION";
    static constexpr const char* kOptionCollectionDeactivated = "VEDUDODU_ANALYTICS_COLLECTION_DEACTIVATED";
    static constexpr const char* kOptionCollectionEnabled = "VEDUDODU_ANALYTICS_COLLECTION_ENABLED";
    static constexpr const char* kOptionLogTag = "app_measurement_log_tag";
    static constexpr const char* kOptionSafelistedEvents = "safelisted_events";
    static constexpr const char* kWillStartNotification = "kDAVAnalyticsWillStartNotification";
    static constexpr const char* kSerialQueueLabel = "DMSAnalyticsQueue";
    static constexpr const char* kTimestampQueueLabel = "DMSAnalyticsTimestampQueue";
    static constexpr const char* kOperationQueueName = "DMSAnalyticsOperationQueue";

    using Listener = std::function<void(const DMSEvent&)>;
    // An opaque object; the table keeps the listener, the caller keeps the token to remove it.
    using ListenerToken = plat::rt::ObjectPtr;
    using Interceptor = std::function<void(const std::string& origin, const std::string& name,
                                           const plat::Dictionary& parameters, double timestamp)>;

    // ---- start-up and the queues ----
    // The load time; the class load records it.
    static void load();
    // `configuration` is the sender of the configuration notifications (the core's analytics
    // configuration), or none; the options may also name it under kOptionConfiguration as a flag.
    static void startWithAppID(const std::string& appID, const std::string& origin, const plat::Dictionary& options,
                               plat::ObjectId configuration = nullptr);
    static void dispatchAsyncOnSerialQueue(std::function<void()> block);
    static void queueOperationWithBlock(std::function<void()> block);
    static void unsuspendOperationQueue();
    static bool isCurrentQueueSerialQueue();
    static double loadTimestamp();
    static const plat::DispatchQueuePtr& serialQueue();
    static const std::shared_ptr<plat::OperationQueue>& operationQueue();
    // An array of valid internal event names (25034, 25035 otherwise).
    static bool isValidSafelist(const plat::Value& safelist);

    // ---- the remaining public calls ----
    static void setAnalyticsEnabled(bool enabled);
    static void setScreenName(const std::optional<std::string>& screenName,
                              const std::optional<std::string>& screenClass);
    static std::optional<std::string> appInstanceID();
    static void resetAnalyticsData();
    static void observeNotificationsForAnalyticsConfiguration(plat::ObjectId configuration);
    static void handleSetEnabled(const plat::Notification& notification);
    static void handleSetMinimumSessionInterval(const plat::Notification& notification);
    static void handleSetSessionTimeoutInterval(const plat::Notification& notification);
    static void handleEventsForBackgroundURLSession(const std::string& identifier,
                                                    std::function<void()> completionHandler);
    static void handleOpenURL(const std::string& url);
    static void handleUserActivity(const plat::rt::ObjectPtr& userActivity);
    static void setOpenURLListener(std::function<void(const std::string&)> listener);
    static void createAppDelegateProxy();
    // Purchases reach the controller only while collection is on.
    static void paymentQueue_updatedTransactions_class(plat::SKPaymentQueue& queue,
                                                       const std::vector<plat::SKPaymentTransaction>& transactions);
    void paymentQueue_updatedTransactions(plat::SKPaymentQueue& queue,
                                          const std::vector<plat::SKPaymentTransaction>& transactions) override {
        paymentQueue_updatedTransactions_class(queue, transactions);
    }
    static void maybeEnableTagManager();

    // ---- events ----
    static void logEventWithName(const std::string& name, const plat::Dictionary& parameters);
    static void logEventWithOrigin(const std::string& origin, const std::string& name,
                                   const plat::Dictionary& parameters);
    static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                           const plat::Dictionary& parameters);
    static void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                   const plat::Dictionary& parameters);
    static void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                   const plat::Dictionary& parameters, double timestamp, bool ignoreEnabled,
                                   bool ignoreInterceptor);
    static void logEventOnSerialQueueWithOrigin(const std::string& origin, bool isPublicEvent,
                                                const std::string& name, plat::Dictionary parameters,
                                                double timestamp, bool ignoreEnabled, bool ignoreInterceptor,
                                                plat::Dictionary addedScreenParameters);
    static std::optional<std::vector<DMSEvent>> eventsToLogWithEventID(int64_t eventID, const std::string& origin,
                                                                       bool isPublic, const std::string& name,
                                                                       double timestamp,
                                                                       const plat::Dictionary& parameters);
    static void logEventsOnWorkerQueue(const std::vector<DMSEvent>& events, bool notifyEventListeners);
    static void setLogEventInterceptor(Interceptor interceptor);
    // None for a missing listener (25012).
    static ListenerToken addLogEventListener(Listener listener);
    static void removeLogEventListener(const ListenerToken& token);
    static void notifyEventListeners(const DMSEvent& event);
    static void notifyEventListenersOnSerialQueue(const DMSEvent& event);

    // ---- user properties and the user ID ----
    static void setUserPropertyString(const std::optional<plat::Value>& value, const std::string& name);
    static void setUserAttributeNumber(const std::optional<plat::Value>& value, const std::string& name);
    static void setInternalUserProperty(const std::optional<plat::Value>& value, const std::string& name);
    static void setUserID(const std::optional<plat::Value>& userID);
    static void removeUserAttributeForName(const std::string& name);
    static void removeInternalUserAttributeForName(const std::string& name);
    static void userPropertiesIncludingInternal(bool includeInternal, const plat::DispatchQueuePtr& queue,
                                                std::function<void(plat::Dictionary)> callback);

    // ---- the shared instance's own calls (the interop connector's) ----
    static DMSAnalytics& sharedInstance();
    // Converts the ad client's "_aeid" to a number, then logs as the class form does.
    void logInternalEventWithOrigin_name_parameters(const std::string& origin, const std::string& name,
                                                    const plat::Dictionary& parameters);
    void setInternalUserProperty(const std::optional<plat::Value>& value, const std::string& name,
                                 const std::string& origin);
    void maxUserPropertiesForOrigin(const std::string& origin, const plat::DispatchQueuePtr& queue,
                                    std::function<void(int64_t)> callback);

    // Test control: sees every internal event handed to the facade instead of the pipeline (none: stop).
    using InternalEventListener =
        std::function<void(const std::string& origin, const std::string& name, const plat::Dictionary& parameters)>;
    static void setInternalEventListenerForTesting(InternalEventListener listener);
};

// Receives the app-delegate calls the proxy forwards: opened URLs and continued activities.
class DMSAppDelegateInterceptor {
public:
    // A runtime object conforming to the application-delegate protocol.
    static const plat::rt::ObjectPtr& sharedInstance();
};
