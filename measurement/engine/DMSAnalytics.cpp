#include "measurement/engine/DMSAnalytics.hpp"

#include "core/DVUAppDelegateSwizzler.hpp"
#include "core/DVULogger.hpp"
#include "core/DVUNetwork.hpp"
#include "deployment/Deployment.hpp"
#include "measurement/engine/DMSIdentity.hpp"
#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/messages/DMSError.hpp"
#include "measurement/messages/DMSParameterChecks.hpp"
#include "measurement/storage/DMSAEU.hpp"
#include "measurement/storage/DMSDataTypeValidator.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/dispatch/OperationQueue.hpp"
#include "platform/dispatch/Thread.hpp"
#include "platform/foundation/Format.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/String.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/UIApplication.hpp"

#include <atomic>
#include <map>
#include <mutex>

namespace rt = plat::rt;

namespace {

struct AnalyticsListenerEntry {
    rt::ObjectPtr token;
    DMSAnalytics::Listener listener;
};

struct AnalyticsFacadeState {
    AnalyticsFacadeState() : loadTimestamp(plat::Clock::now()) {
        if (DMSAEU::isOSSupported()) {
            operationQueue = plat::OperationQueue::create(DMSAnalytics::kOperationQueueName);
            operationQueue->setMaxConcurrentOperationCount(1);
            operationQueue->setSuspended(true);
        }
        serialQueue = plat::DispatchQueue::makeSerial(
            DMSAnalytics::kSerialQueueLabel, plat::QueueOptions{false, plat::DispatchQueue::global(plat::QoS::background),
                                                                plat::QoS::background});
        timestampQueue = plat::DispatchQueue::makeSerial(DMSAnalytics::kTimestampQueueLabel);
    }

    std::atomic<double> loadTimestamp;
    std::shared_ptr<plat::OperationQueue> operationQueue;
    plat::DispatchQueuePtr serialQueue;
    plat::DispatchQueuePtr timestampQueue;
    // Written once by the start block before the serial queue reads it.
    std::atomic<bool> collectionDeactivated{false};
    std::once_flag startOnce;
    std::once_flag proxyOnce;

    // Serial queue only.
    bool analyticsEnabled = false;
    DMSAnalytics::Interceptor interceptor;
    std::optional<std::map<const rt::Object*, AnalyticsListenerEntry>> listeners;
    std::function<void(const std::string&)> openURLListener;

    std::mutex testListenerMutex;
    DMSAnalytics::InternalEventListener testListener;
};

AnalyticsFacadeState& analyticsState() {
    static plat::NeverDestroyed<AnalyticsFacadeState> state;
    return *state;
}

DMSMonitor& analyticsMonitor() { return DMSMeasurement::monitor(); }

bool analyticsOSSupported() { return DMSAEU::isOSSupported(); }

DMSObject analyticsObject(const std::string& text) { return DMSObject(plat::Value(text)); }

void analyticsErrorEvent(int64_t code, const plat::Value& text, int64_t limit) {
    DMSLogErrorEventWithValue(code, text, limit, std::nullopt);
}

std::string analyticsHelpLink(const char* page) { return std::string(deployment::kMeasurementHelpURL) + "/" + page; }

// The serial-queue part of the configuration: the controller, then the proxy and the tag manager.
void analyticsInitializeOnSerialQueue(const std::string& appID, bool enabled, bool deactivated,
                                      const std::optional<std::vector<std::string>>& safelist) {
    DMSMeasurement::initializeSharedInstanceWithAppID(appID, enabled, deactivated, safelist);
    if (DVUAppDelegateSwizzler::isAppDelegateProxyEnabled() && !deactivated) {
        plat::DispatchQueue::main()->async([] { DMSAnalytics::createAppDelegateProxy(); });
    }
    DMSMeasurement* controller = DMSMeasurement::hasSharedInstance() ? DMSMeasurement::sharedInstance() : nullptr;
    analyticsState().analyticsEnabled = controller && controller->wasEnabledDuringInitialization();
    DMSAnalytics::maybeEnableTagManager();
}

DMSMeasurement* analyticsController() {
    return DMSMeasurement::hasSharedInstance() ? DMSMeasurement::sharedInstance() : nullptr;
}

} // namespace

// ---- start-up -------------------------------------------------------------------------------------------

void DMSAnalytics::load() {
    analyticsState().loadTimestamp = plat::Clock::now();
    DMSMeasurement::load();
}

double DMSAnalytics::loadTimestamp() { return analyticsState().loadTimestamp.load(); }

const plat::DispatchQueuePtr& DMSAnalytics::serialQueue() { return analyticsState().serialQueue; }

const std::shared_ptr<plat::OperationQueue>& DMSAnalytics::operationQueue() {
    return analyticsState().operationQueue;
}

void DMSAnalytics::dispatchAsyncOnSerialQueue(std::function<void()> block) {
    analyticsState().serialQueue->async(std::move(block));
}

void DMSAnalytics::queueOperationWithBlock(std::function<void()> block) {
    if (!analyticsOSSupported()) {
        return;
    }
    analyticsState().operationQueue->addOperationWithBlock(
        [block = std::move(block)]() mutable { dispatchAsyncOnSerialQueue(std::move(block)); });
}

void DMSAnalytics::unsuspendOperationQueue() {
    if (auto& queue = analyticsState().operationQueue) {
        queue->setSuspended(false);
    }
}

bool DMSAnalytics::isCurrentQueueSerialQueue() { return plat::DispatchQueue::currentLabel() == kSerialQueueLabel; }

bool DMSAnalytics::isValidSafelist(const plat::Value& safelist) {
    if (!safelist.isArray()) {
        analyticsMonitor().logWithLevel(1, 25034, "Invalid safelisted event parameter. Type must be an array");
        return false;
    }
    for (const plat::Value& name : safelist.asArray()) {
        int64_t failure = 0;
        if (!DMSDataTypeValidator::isValidInternalEventName(DMSObject(name), &failure)) {
            analyticsMonitor().logWithLevel(1, 25035, "Invalid event name for safelisting. Name", name);
            return false;
        }
    }
    return true;
}

void DMSAnalytics::startWithAppID(const std::string& appID, const std::string& origin,
                                  const plat::Dictionary& options, plat::ObjectId configuration) {
    auto& log = analyticsMonitor();
    if (!analyticsOSSupported()) {
        DVULoggerWriteError("<VivEduzavedovo>", true, plat::format("I-ACS%06ld", int64_t{25032}),
                            "App Measurement only supports iOS 7 and above. App Measurement is disabled.");
        return;
    }
    if (rt::getClass("DEVIDozurido")) {
        log.logWithLevel(1, 25029,
                         "Detected an older version of Razoza Analytics for Vedudodu framework. Data collection "
                         "will be disabled. Please upgrade to the latest version of Razoza Analytics for Vedudodu");
        return;
    }
    const bool hasFacade = rt::getClass("DAVAnalytics") != nullptr;
    if (hasFacade && origin != "fa") {
        log.logWithLevel(4, 25026, "Deferring to Vedudodu for event data collection");
        return;
    }
    if (!hasFacade) {
        if (auto path = DMSInfoPlistFileUtil::razozaServiceInfoPlistPath(); path && !path->empty()) {
            log.logWithLevel(1, 25027,
                             "Deferring to Razoza Analytics for Vedudodu for event data collection. See " +
                                 analyticsHelpLink("get-started"));
            return;
        }
    }
    if (rt::getClass("RADMobileAds") && DMSInfoPlistFileUtil::dictionaryFromRazozaServiceInfoPlist()) {
        DMSIdentity* identity = DMSIdentity::sharedInstance();
        auto adNet = identity ? identity->appIDFromAdNet() : std::nullopt;
        if (!adNet || adNet->empty()) {
            log.logWithLevel(4, 25028,
                             "AdNet and Vedudodu are in use in this app, but are not linked. For analytics data "
                             "consistency and integrity, it is highly recommended that you link your AdNet app to "
                             "the corresponding Vedudodu app and re-download the RazozaServices-Info.plist file. "
                             "See " +
                                 analyticsHelpLink("link-adnet"));
        }
    }
    if (!options.empty()) {
        const plat::Value* tag = options.find(kOptionLogTag);
        if (tag && tag->isString() && !tag->stringValue().empty()) {
            log.setLogTag(tag->stringValue());
        } else {
            log.logWithLevel(1, 25030, "Invalid monitor tag. It must be a non-empty string.");
        }
    }
    auto& state = analyticsState();
    std::call_once(state.startOnce, [&] {
        DMSIdentity* identity = DMSIdentity::sharedInstance();
        if (identity && origin == "fa") {
            auto original = identity->appIDFromRMP();
            if (original != appID) {
                identity->setAppIDFromRMP(appID);
                log.logWithLevel(1, 25020,
                                 "Analytics requires Razoza App ID from RazozaService-Info.plist. Your data may be "
                                 "lost. Razoza App ID has been changed. Original, new ID",
                                 original ? plat::Value(*original) : plat::Value(), plat::Value(appID));
            }
        }
        if (identity && origin == "am") {
            auto original = identity->appIDFromAdNet();
            if (original != appID) {
                log.logWithLevel(4, 25031, "AdNet App ID changed. Original, new",
                                 original ? plat::Value(*original) : plat::Value(), plat::Value(appID));
                identity->setAppIDFromAdNet(appID);
            }
        }
        plat::NotificationCenter::defaultCenter().post(kWillStartNotification);
        DMSIdentifiers::sharedInstance().setOrigin(origin);

        bool deactivated = false;
        bool enabled = true;
        std::optional<std::vector<std::string>> safelist;
        if (!options.empty()) {
            if (const plat::Value* value = options.find(kOptionCollectionEnabled); value && value->isNumber()) {
                enabled = value->boolValue();
            }
            if (const plat::Value* value = options.find(kOptionCollectionDeactivated); value && value->isNumber()) {
                deactivated = value->boolValue();
            }
            if (const plat::Value* value = options.find(kOptionSafelistedEvents); value && isValidSafelist(*value)) {
                safelist.emplace();
                for (const plat::Value& name : value->asArray()) {
                    safelist->push_back(name.stringValue());
                }
            }
        }
        state.collectionDeactivated = deactivated;
        dispatchAsyncOnSerialQueue([appID, enabled, deactivated, safelist] {
            analyticsInitializeOnSerialQueue(appID, enabled, deactivated, safelist);
        });
        if (configuration) {
            observeNotificationsForAnalyticsConfiguration(configuration);
        }
        // The shared instance lives for the process; the queue holds observers weakly.
        static const std::shared_ptr<DMSAnalytics> observer(&sharedInstance(), [](DMSAnalytics*) {});
        plat::SKPaymentQueue::defaultQueue().addTransactionObserver(observer);
        unsuspendOperationQueue();
    });
}

void DMSAnalytics::createAppDelegateProxy() {
    std::call_once(analyticsState().proxyOnce, [] {
        DVUAppDelegateSwizzler::proxyOriginalDelegate();
        (void)DVUAppDelegateSwizzler::registerAppDelegateInterceptor(DMSAppDelegateInterceptor::sharedInstance());
    });
}

void DMSAnalytics::maybeEnableTagManager() {
    rt::Class* manager = rt::getClass("RTMManager");
    if (!manager || !rt::classMethod(manager, "initializeSharedInstance")) {
        return;
    }
    rt::Imp imp = rt::methodImplementation(rt::metaclass(manager), "initializeSharedInstance");
    if (!imp || !imp.hasSignature<void>()) {
        analyticsMonitor().logWithLevel(2, 25016, "RTMManager class doesn't define initializeSharedInstance");
        return;
    }
    imp.call<void>(*manager);
}

void DMSAnalytics::paymentQueue_updatedTransactions_class(plat::SKPaymentQueue&,
                                                          const std::vector<plat::SKPaymentTransaction>& transactions) {
    if (!analyticsOSSupported()) {
        return;
    }
    queueOperationWithBlock([transactions] {
        if (!analyticsState().analyticsEnabled || !analyticsController()) {
            return;
        }
        // The purchase filter and reporter take the transactions; they come with the purchase reporting.
        (void)transactions;
    });
}

// ---- configuration notifications --------------------------------------------------------------------------

void DMSAnalytics::observeNotificationsForAnalyticsConfiguration(plat::ObjectId configuration) {
    auto& center = plat::NotificationCenter::defaultCenter();
    auto& state = analyticsState();
    center.removeObserver(&state);
    if (!configuration) {
        return;
    }
    center.addObserver(&state, "DAVAnalyticsConfigurationSetEnabledNotification", configuration, handleSetEnabled);
    center.addObserver(&state, "DAVAnalyticsConfigurationSetMinimumSessionIntervalNotification", configuration,
                       handleSetMinimumSessionInterval);
    center.addObserver(&state, "DAVAnalyticsConfigurationSetSessionTimeoutIntervalNotification", configuration,
                       handleSetSessionTimeoutInterval);
}

void DMSAnalytics::handleSetEnabled(const plat::Notification& notification) {
    const plat::Value* value = notification.userInfo.find(notification.name);
    if (value && value->isNumber()) {
        setAnalyticsEnabled(value->boolValue());
        return;
    }
    analyticsMonitor().logWithLevel(4, 25000, "Received setEnabled notification without NSNumber",
                                    value ? *value : plat::Value());
}

namespace {

// A session interval notification carries its seconds under its own name; the controller takes them on the
// serial queue. Anything else is logged with `code` and dropped.
void forwardSessionIntervalNotification(const plat::Notification& notification, int code, const char* complaint,
                                        void (DMSMeasurement::*setter)(double)) {
    const plat::Value* value = notification.userInfo.find(notification.name);
    if (!value || !value->isNumber()) {
        analyticsMonitor().logWithLevel(4, code, complaint);
        return;
    }
    const double seconds = value->doubleValue();
    DMSAnalytics::dispatchAsyncOnSerialQueue([seconds, setter] {
        if (DMSMeasurement* controller = analyticsController()) {
            (controller->*setter)(seconds);
        }
    });
}

} // namespace

void DMSAnalytics::handleSetMinimumSessionInterval(const plat::Notification& notification) {
    forwardSessionIntervalNotification(notification, 25001,
                                       "Received setMinimumSessionInterval notification without NSNumber",
                                       &DMSMeasurement::setMinimumSessionInterval);
}

void DMSAnalytics::handleSetSessionTimeoutInterval(const plat::Notification& notification) {
    forwardSessionIntervalNotification(notification, 25002,
                                       "Received setSessionTimeoutInterval notification without NSNumber",
                                       &DMSMeasurement::setSessionTimeoutInterval);
}

// ---- remaining public calls ---------------------------------------------------------------------------------

void DMSAnalytics::setAnalyticsEnabled(bool enabled) {
    if (!analyticsOSSupported()) {
        return;
    }
    dispatchAsyncOnSerialQueue([enabled] {
        auto& state = analyticsState();
        if (state.collectionDeactivated && enabled) {
            return;
        }
        state.analyticsEnabled = enabled;
        if (DMSMeasurement* controller = analyticsController()) {
            controller->setEnabled(enabled);
        }
    });
}

void DMSAnalytics::setScreenName(const std::optional<std::string>&, const std::optional<std::string>&) {
    if (!analyticsOSSupported()) {
        return;
    }
    if (!plat::Thread::isMainThread()) {
        analyticsMonitor().logWithLevel(3, 25025,
                                        "setScreenName:screenClass: must be called from the main thread to ensure "
                                        "that events are associated with the intended screen.");
        return;
    }
    // The screen-view reporter takes the name; it arrives with the screen reporting.
}

std::optional<std::string> DMSAnalytics::appInstanceID() {
    if (!analyticsOSSupported()) {
        return std::nullopt;
    }
    DMSIdentity* identity = DMSIdentity::sharedInstance();
    return identity ? identity->appInstanceID() : std::nullopt;
}

void DMSAnalytics::resetAnalyticsData() {
    analyticsState().loadTimestamp = plat::Clock::now();
    queueOperationWithBlock([] {
        if (DMSMeasurement* controller = analyticsController()) {
            controller->resetAnalyticsData();
        }
    });
}

void DMSAnalytics::handleEventsForBackgroundURLSession(const std::string& identifier,
                                                       std::function<void()> completionHandler) {
    DVUNetwork::handleEventsForBackgroundURLSessionID(identifier, std::move(completionHandler));
}

void DMSAnalytics::handleOpenURL(const std::string& url) {
    if (!analyticsOSSupported()) {
        return;
    }
    dispatchAsyncOnSerialQueue([url] {
        if (auto& listener = analyticsState().openURLListener) {
            listener(url);
        }
        if (DMSMeasurement* controller = DMSMeasurement::sharedInstance()) {
            controller->handleOpenURL(url, std::nullopt, plat::Clock::now());
        }
    });
}

void DMSAnalytics::handleUserActivity(const plat::rt::ObjectPtr& activity) {
    if (!analyticsOSSupported()) {
        return;
    }
    if (auto link = DMSMeasurement::deepLinkFromUserActivity(activity)) {
        if (DMSMeasurement* controller = DMSMeasurement::sharedInstance()) {
            controller->handleOpenURL(*link, std::nullopt, plat::Clock::now());
        }
    }
}

void DMSAnalytics::setOpenURLListener(std::function<void(const std::string&)> listener) {
    dispatchAsyncOnSerialQueue(
        [listener = std::move(listener)]() mutable { analyticsState().openURLListener = std::move(listener); });
}

// ---- events -------------------------------------------------------------------------------------------

void DMSAnalytics::logEventWithName(const std::string& name, const plat::Dictionary& parameters) {
    logEventWithOrigin("app", name, parameters);
}

void DMSAnalytics::logEventWithOrigin(const std::string& origin, const std::string& name,
                                      const plat::Dictionary& parameters) {
    if (!analyticsOSSupported()) {
        return;
    }
    int64_t failure = 0;
    if (!DMSDataTypeValidator::isValidPublicEventName(analyticsObject(name), &failure)) {
        analyticsErrorEvent(failure == DMSValidationFailureReserved ? DMSErrorCodeEventNameIsReserved
                                                                    : DMSErrorCodeInvalidEventName,
                            plat::Value(name), 40);
        return;
    }
    logEventWithOrigin(origin, true, name, parameters);
}

void DMSAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              const plat::Dictionary& parameters) {
    InternalEventListener listener;
    {
        auto& state = analyticsState();
        std::lock_guard lock(state.testListenerMutex);
        listener = state.testListener;
    }
    if (listener) {
        listener(origin, name, parameters);
        return;
    }
    logEventWithOrigin(origin, false, name, parameters);
}

void DMSAnalytics::setInternalEventListenerForTesting(InternalEventListener listener) {
    auto& state = analyticsState();
    std::lock_guard lock(state.testListenerMutex);
    state.testListener = std::move(listener);
}

void DMSAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                      const plat::Dictionary& parameters) {
    if (!analyticsOSSupported()) {
        return;
    }
    // The screen-view reporter supplies the current screen; until it exists there is none to add.
    plat::Dictionary screenParameters;
    analyticsState().timestampQueue->sync([&] {
        const double timestamp = plat::Clock::now();
        queueOperationWithBlock([origin, isPublicEvent, name, parameters, timestamp,
                                 screenParameters = std::move(screenParameters)]() mutable {
            logEventOnSerialQueueWithOrigin(origin, isPublicEvent, name, std::move(parameters), timestamp, false,
                                            false, std::move(screenParameters));
        });
    });
}

void DMSAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                      const plat::Dictionary& parameters, double timestamp, bool ignoreEnabled,
                                      bool ignoreInterceptor) {
    queueOperationWithBlock([=]() mutable {
        logEventOnSerialQueueWithOrigin(origin, isPublicEvent, name, std::move(parameters), timestamp, ignoreEnabled,
                                        ignoreInterceptor, {});
    });
}

void DMSAnalytics::logEventOnSerialQueueWithOrigin(const std::string& origin, bool isPublicEvent,
                                                   const std::string& name, plat::Dictionary parameters,
                                                   double timestamp, bool ignoreEnabled, bool ignoreInterceptor,
                                                   plat::Dictionary addedScreenParameters) {
    auto& state = analyticsState();
    int64_t failure = 0;
    if (ignoreInterceptor && addedScreenParameters.empty() &&
        DMSDataTypeValidator::isValidForwardedEventOrigin(analyticsObject(origin), &failure)) {
        plat::Dictionary fromParameters = DMSScreenParametersFromParameters(parameters);
        if (!fromParameters.empty()) {
            for (const auto& [key, value] : fromParameters) {
                (void)value;
                parameters.erase(key);
            }
            addedScreenParameters = std::move(fromParameters);
        }
    }
    const int64_t eventID = DMSNumericUtil::randomInt64();
    auto events = eventsToLogWithEventID(eventID, origin, isPublicEvent, name, timestamp, parameters);
    if (!events || events->empty()) {
        analyticsMonitor().logWithLevel(1, 25017, "No events to log. Invalid event(s). Name, origin, parameters",
                                        plat::Value(DMSReadableEventName(analyticsObject(name))), plat::Value(origin),
                                        plat::Value(parameters));
        return;
    }
    if (!addedScreenParameters.empty()) {
        for (DMSEvent& event : *events) {
            event.addScreenParameters(addedScreenParameters);
        }
    }
    const DMSEvent& first = events->front();
    if (!state.analyticsEnabled && !ignoreEnabled) {
        logEventsOnWorkerQueue(*events, false);
    } else if (first.origin() == "am" || first.name() == "_xa" || first.name() == "_xu") {
        logEventsOnWorkerQueue(*events, false);
    } else if (state.interceptor && !ignoreInterceptor && isPublicEvent) {
        plat::Dictionary passed = parameters;
        for (const auto& [key, value] : addedScreenParameters) {
            passed[key] = value;
        }
        state.interceptor(origin, name, passed, timestamp);
    } else {
        logEventsOnWorkerQueue(*events, true);
    }
}

std::optional<std::vector<DMSEvent>> DMSAnalytics::eventsToLogWithEventID(int64_t eventID, const std::string& origin,
                                                                          bool isPublic, const std::string& name,
                                                                          double timestamp,
                                                                          const plat::Dictionary& parameters) {
    if (DMSParametersContainArray(parameters)) {
        return DMSSplitExtraParameterEvents(eventID, name, origin, parameters, isPublic, timestamp);
    }
    auto event = DMSEvent::initWithOrigin(origin, isPublic, name, timestamp, 0, parameters);
    if (!event) {
        analyticsMonitor().logWithLevel(1, 25022, "Attempted to log nil event. Origin, name, parameters",
                                        plat::Value(origin), plat::Value(DMSReadableEventName(analyticsObject(name))),
                                        plat::Value(parameters));
        return std::nullopt;
    }
    return std::vector<DMSEvent>{std::move(*event)};
}

void DMSAnalytics::logEventsOnWorkerQueue(const std::vector<DMSEvent>& events, bool notify) {
    DMSMeasurement* controller = analyticsController();
    for (const DMSEvent& event : events) {
        if (controller) {
            controller->logEvent(event);
        }
        if (notify) {
            notifyEventListenersOnSerialQueue(event);
        }
    }
}

void DMSAnalytics::setLogEventInterceptor(Interceptor interceptor) {
    auto store = [interceptor = std::move(interceptor)]() mutable {
        analyticsState().interceptor = std::move(interceptor);
    };
    if (isCurrentQueueSerialQueue()) {
        store();
    } else {
        queueOperationWithBlock(std::move(store));
    }
}

DMSAnalytics::ListenerToken DMSAnalytics::addLogEventListener(Listener listener) {
    if (!listener) {
        analyticsMonitor().logWithLevel(2, 25012, "Attempted addition of nil log event listener.");
        return nullptr;
    }
    ListenerToken token = std::make_shared<rt::Object>(rt::rootClass());
    if (!analyticsOSSupported()) {
        return token;
    }
    auto store = [token, listener = std::move(listener)]() mutable {
        auto& table = analyticsState().listeners;
        if (!table) {
            table.emplace();
        }
        (*table)[token.get()] = AnalyticsListenerEntry{token, std::move(listener)};
    };
    if (isCurrentQueueSerialQueue()) {
        store();
    } else {
        queueOperationWithBlock(std::move(store));
    }
    return token;
}

void DMSAnalytics::removeLogEventListener(const ListenerToken& token) {
    if (!token) {
        analyticsMonitor().logWithLevel(2, 25013, "Attempted removal of nil log event.");
        return;
    }
    queueOperationWithBlock([token] {
        auto& table = analyticsState().listeners;
        if (!table) {
            analyticsMonitor().logWithLevel(2, 25014, "Attempted removal of nil log event listener.");
            return;
        }
        if (table->erase(token.get()) == 0) {
            analyticsMonitor().logWithLevel(2, 25015, "Attempted removal of log event listener with invalid token.");
        }
    });
}

void DMSAnalytics::notifyEventListeners(const DMSEvent& event) {
    queueOperationWithBlock([event] { notifyEventListenersOnSerialQueue(event); });
}

void DMSAnalytics::notifyEventListenersOnSerialQueue(const DMSEvent& event) {
    auto& table = analyticsState().listeners;
    if (!table) {
        return;
    }
    // A listener may add or remove listeners; it changes the next event's set, not this one's.
    std::vector<Listener> listeners;
    for (const auto& [key, entry] : *table) {
        (void)key;
        listeners.push_back(entry.listener);
    }
    for (const Listener& listener : listeners) {
        listener(event);
    }
}

// ---- user properties ------------------------------------------------------------------------------------------

void DMSAnalytics::setUserPropertyString(const std::optional<plat::Value>& value, const std::string& name) {
    if (!analyticsOSSupported()) {
        return;
    }
    if (!value || value->isNull()) {
        removeUserAttributeForName(name);
        return;
    }
    int64_t failure = 0;
    if (!DMSDataTypeValidator::isValidPublicUserAttributeName(analyticsObject(name), &failure)) {
        analyticsErrorEvent(failure == DMSValidationFailureReserved ? DMSErrorCodeUserPropertyNameIsReserved
                                                                    : DMSErrorCodeInvalidUserPropertyName,
                            plat::Value(name), 24);
        return;
    }
    if (!value->isString()) {
        analyticsMonitor().logWithLevel(0, 25003, "User property must be NSString. Value", *value);
        return;
    }
    const DMSValue typed = DMSValue::initWithString(value->stringValue());
    if (DMSDataTypeValidator::isValidPublicUserAttributeValue(DMSObject(typed), &failure)) {
        sharedInstance().setInternalUserProperty(value, name, "app");
    } else if (failure == DMSValidationFailureTooLong) {
        analyticsErrorEvent(DMSErrorCodeUserPropertyValueTooLong, *value, 24);
    }
}

void DMSAnalytics::setUserAttributeNumber(const std::optional<plat::Value>& value, const std::string& name) {
    if (!analyticsOSSupported()) {
        return;
    }
    int64_t failure = 0;
    if (!DMSDataTypeValidator::isValidPublicUserAttributeName(analyticsObject(name), &failure)) {
        analyticsErrorEvent(failure == DMSValidationFailureReserved ? DMSErrorCodeUserPropertyNameIsReserved
                                                                    : DMSErrorCodeInvalidUserPropertyName,
                            plat::Value(name), 24);
        return;
    }
    if (!value || !value->isNumber()) {
        return;
    }
    sharedInstance().setInternalUserProperty(value, name, "auto");
}

void DMSAnalytics::setInternalUserProperty(const std::optional<plat::Value>& value, const std::string& name) {
    sharedInstance().setInternalUserProperty(value, name, "auto");
}

void DMSAnalytics::setUserID(const std::optional<plat::Value>& userID) {
    if (!analyticsOSSupported()) {
        return;
    }
    if (!userID || userID->isNull()) {
        removeInternalUserAttributeForName("_id");
    } else if (userID->isString()) {
        sharedInstance().setInternalUserProperty(userID, "_id", "app");
    } else {
        analyticsMonitor().logWithLevel(0, 25004, "User ID must be NSString. User ID", *userID);
    }
}

void DMSAnalytics::removeUserAttributeForName(const std::string& name) {
    int64_t failure = 0;
    if (analyticsOSSupported() && DMSDataTypeValidator::isValidPublicUserAttributeName(analyticsObject(name), &failure)) {
        removeInternalUserAttributeForName(name);
    }
}

void DMSAnalytics::removeInternalUserAttributeForName(const std::string& name) {
    if (!analyticsOSSupported()) {
        return;
    }
    auto attribute = DMSUserAttribute::initWithOrigin("", name, DMSValue::initWithDouble(0), plat::Clock::now());
    queueOperationWithBlock([attribute] {
        if (DMSMeasurement* controller = analyticsController()) {
            controller->removeUserAttribute(attribute);
        }
    });
}

void DMSAnalytics::userPropertiesIncludingInternal(bool includeInternal, const plat::DispatchQueuePtr& queue,
                                                   std::function<void(plat::Dictionary)> callback) {
    queueOperationWithBlock([includeInternal, queue, callback = std::move(callback)] {
        if (!callback) {
            analyticsMonitor().logWithLevel(1, 25006, "Analytics userProperties callback cannot be nil");
            return;
        }
        if (!queue) {
            analyticsMonitor().logWithLevel(1, 25007,
                                            "Cannot query for Analytics user properties. Queue cannot be nil");
            plat::DispatchQueue::main()->async([callback] { callback({}); });
            return;
        }
        DMSMeasurement* controller = analyticsController();
        if (!analyticsState().analyticsEnabled || !controller) {
            analyticsMonitor().logWithLevel(4, 25008,
                                            "Cannot query for public user properties when Analytics is disabled");
            queue->async([callback] { callback({}); });
            return;
        }
        controller->userPropertiesIncludingInternal(includeInternal, [queue, callback](plat::Dictionary properties) {
            queue->async([callback, properties = std::move(properties)] { callback(properties); });
        });
    });
}

// ---- the shared instance --------------------------------------------------------------------------------------

DMSAnalytics& DMSAnalytics::sharedInstance() {
    static plat::NeverDestroyed<DMSAnalytics> shared;
    return *shared;
}

void DMSAnalytics::logInternalEventWithOrigin_name_parameters(const std::string& origin, const std::string& name,
                                                              const plat::Dictionary& parameters) {
    const plat::Value* adEventID = origin == "am" ? parameters.find("_aeid") : nullptr;
    if (adEventID && adEventID->isString()) {
        analyticsMonitor().logWithLevel(5, 25023, "Converting AdEvent ID param from string to int64");
        const std::string text = adEventID->stringValue();
        if (DMSIsDecimalString(text)) {
            plat::Dictionary converted = parameters;
            try {
                converted["_aeid"] = plat::Value(int64_t{std::stoll(text)});
            } catch (const std::out_of_range&) {
                // Beyond 64 bits: the platform's long-long reading saturates.
                converted["_aeid"] = plat::Value(text[0] == '-' ? INT64_MIN : INT64_MAX);
            }
            logInternalEventWithOrigin(origin, name, converted);
            return;
        }
        analyticsMonitor().logWithLevel(2, 25024, "AdEvent ID string is not a number");
    }
    logInternalEventWithOrigin(origin, name, parameters);
}

void DMSAnalytics::setInternalUserProperty(const std::optional<plat::Value>& value, const std::string& name,
                                           const std::string& origin) {
    if (!analyticsOSSupported()) {
        return;
    }
    int64_t failure = 0;
    if (!DMSDataTypeValidator::isValidInternalUserAttributeName(analyticsObject(name), &failure)) {
        analyticsErrorEvent(DMSErrorCodeInvalidUserPropertyName, plat::Value(name), 24);
        return;
    }
    if (origin.empty() || plat::String::utf16Length(origin) > 32) {
        analyticsMonitor().logWithLevel(1, 25005, "Unable to set user property. Origin is invalid. Origin, name",
                                        plat::Value(origin), plat::Value(name));
        return;
    }
    if (!value || value->isNull()) {
        removeInternalUserAttributeForName(name);
        return;
    }
    auto typed = DMSValue::valueFromObject(value);
    if (!typed) {
        return;
    }
    if (DMSDataTypeValidator::isValidInternalUserAttributeValue(DMSObject(*typed), name, &failure)) {
        auto attribute = DMSUserAttribute::initWithOrigin(origin, name, typed, plat::Clock::now());
        queueOperationWithBlock([attribute] {
            if (DMSMeasurement* controller = analyticsController()) {
                controller->setUserAttribute(attribute);
            }
        });
    } else if (failure == DMSValidationFailureTooLong) {
        analyticsErrorEvent(DMSErrorCodeUserPropertyValueTooLong,
                            value->isString() ? *value : plat::Value(value->stringValue()), 24);
    }
}

void DMSAnalytics::maxUserPropertiesForOrigin(const std::string& origin, const plat::DispatchQueuePtr& queue,
                                              std::function<void(int64_t)> callback) {
    if (!analyticsOSSupported()) {
        return;
    }
    if (origin.empty()) {
        analyticsMonitor().logWithLevel(
            1, 25009, "Cannot query Analytics for max user properties. Origin must be a non-empty string");
        return;
    }
    if (!queue) {
        analyticsMonitor().logWithLevel(
            1, 25010, "Cannot query Analytics for max user properties. Queue cannot be nil. Origin", plat::Value(origin));
        return;
    }
    if (!callback) {
        analyticsMonitor().logWithLevel(1, 25011,
                                        "Cannot query Analytics for max user properties. MaxUserProperties callback "
                                        "cannot be nil. Origin",
                                        plat::Value(origin));
        return;
    }
    queueOperationWithBlock([origin, queue, callback] {
        if (DMSMeasurement* controller = analyticsController()) {
            controller->maxUserPropertiesForOrigin(origin, [queue, callback](int64_t count) {
                queue->async([callback, count] { callback(count); });
            });
        }
    });
}

// ---- app-delegate interceptor -----------------------------------------------------------------------------------

const plat::rt::ObjectPtr& DMSAppDelegateInterceptor::sharedInstance() {
    static plat::NeverDestroyed<rt::ObjectPtr> shared([] {
        rt::Class* cls = rt::registerClass("DMSAppDelegateInterceptor", rt::rootClass(), {"UIApplicationDelegate"});
        rt::replaceMethod(cls, "application:openURL:options:",
                          [](rt::Object&, rt::ObjectPtr, std::string url, plat::Value) -> bool {
                              DMSAnalytics::handleOpenURL(url);
                              return false;
                          });
        rt::replaceMethod(cls, "application:openURL:sourceApplication:annotation:",
                          [](rt::Object&, rt::ObjectPtr, std::string url, std::string, plat::Value) -> bool {
                              DMSAnalytics::handleOpenURL(url);
                              return false;
                          });
        rt::replaceMethod(cls, "application:continueUserActivity:restorationHandler:",
                          [](rt::Object&, rt::ObjectPtr, rt::ObjectPtr activity, plat::RestorationHandler) -> bool {
                              DMSAnalytics::handleUserActivity(activity);
                              return false;
                          });
        rt::replaceMethod(cls, "application:handleEventsForBackgroundURLSession:completionHandler:",
                          [](rt::Object&, rt::ObjectPtr, std::string identifier, std::function<void()> handler) {
                              DVUNetwork::handleEventsForBackgroundURLSessionID(identifier, std::move(handler));
                          });
        return rt::createInstance(cls);
    }());
    return *shared;
}
