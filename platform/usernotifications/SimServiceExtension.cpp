#include "platform/usernotifications/SimServiceExtension.hpp"

#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/CompletionCheck.hpp"
#include "platform/uikit/MainThread.hpp"
#include "platform/usernotifications/SimNotifications.hpp"
#include "platform/usernotifications/UNNotificationServiceExtension.hpp"

#include <mutex>

namespace plat::sim {

namespace {

struct ExtensionState {
    std::mutex mutex;
    rt::ObjectPtr extension;
    std::vector<ServiceDelivery> deliveries;
};

ExtensionState& state() {
    static NeverDestroyed<ExtensionState> s;
    return *s;
}

std::string principalClassOfBundle() {
    auto info = Bundle::main()->objectForInfoDictionaryKey("NSExtension");
    const Value* name = info ? info->find("NSExtensionPrincipalClass") : nullptr;
    return name && name->isString() ? name->asString() : std::string();
}

} // namespace

rt::ObjectPtr ServiceExtension::start(std::string_view principalClassName) {
    const std::string name =
        principalClassName.empty() ? principalClassOfBundle() : std::string(principalClassName);
    rt::Class* cls = name.empty() ? nullptr : rt::getClass(name);
    rt::ObjectPtr made;
    if (cls && rt::isSubclassOf(cls, UNNotificationServiceExtension::runtimeClass()))
        made = rt::createInstance(cls);
    std::lock_guard lock(state().mutex);
    state().extension = made;
    return made;
}

rt::ObjectPtr ServiceExtension::instance() {
    std::lock_guard lock(state().mutex);
    return state().extension;
}

bool ServiceExtension::deliver(const std::shared_ptr<UNNotificationRequest>& request) {
    requireMainThread("delivering to a service extension");
    rt::ObjectPtr extension = instance();
    if (!extension || !request)
        return false;
    std::size_t index = 0;
    {
        std::lock_guard lock(state().mutex);
        index = state().deliveries.size();
        state().deliveries.push_back(ServiceDelivery{request->identifier(), false, nullptr});
    }
    UNContentHandler record = [index](rt::ObjectPtr content) {
        std::lock_guard lock(state().mutex);
        auto& d = state().deliveries[index];
        d.handled = true;
        d.content = std::dynamic_pointer_cast<UNNotificationContent>(content);
    };
    rt::msgSend(extension, kDidReceiveNotificationRequestSelector, rt::ObjectPtr(request),
                CompletionHandlers::wrap(kDidReceiveNotificationRequestSelector, std::move(record)));
    return true;
}

bool ServiceExtension::deliver(const Value& userInfo) {
    return deliver(Notifications::makeRemoteNotification(userInfo)->request());
}

bool ServiceExtension::timeWillExpire() {
    requireMainThread("a service extension's time running out");
    rt::ObjectPtr extension = instance();
    if (!extension)
        return false;
    rt::msgSend(extension, kServiceExtensionTimeWillExpireSelector);
    return true;
}

std::vector<ServiceDelivery> ServiceExtension::deliveries() {
    std::lock_guard lock(state().mutex);
    return state().deliveries;
}

} // namespace plat::sim
