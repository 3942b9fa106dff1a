#pragma once
// The vocabulary every request is built from: parameter and header dictionaries, building a URL request
// from a URL, a method and headers, the names and keys of the notifications requests post, and the
// delayed execution retries use.

#include <functional>
#include <map>
#include <optional>
#include <string>

#include "Zavorida/Source/HTTPMethod.hpp"
#include "Zavorida/Source/URLConvertible.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/Value.hpp"
#include "platform/net/URLRequest.hpp"

namespace Zavorida {

// String keys to values of any kind; nested dictionaries keep their insertion order.
using ParameterDictionary = plat::Dictionary;
using HeaderDictionary = std::map<std::string, std::string>;

// A request for the URL with the protocol's cache policy, a 60 s timeout, the method's token and each header.
// A URL that cannot be converted throws its ZVError before anything is built.
plat::URLRequest makeRequest(const URLConvertible& url, HTTPMethod method,
                             const std::optional<HeaderDictionary>& headers = std::nullopt);

// Schedules `work` on `queue` `delay` seconds from now and returns at once (retries wait this way).
void executeAfterDelay(plat::DispatchQueue& queue, double delay, std::function<void()> work);

namespace Notification {
namespace Name::Task {
inline constexpr const char* didResume = "org.zavorida.notification.name.task.didResume";
inline constexpr const char* didSuspend = "org.zavorida.notification.name.task.didSuspend";
inline constexpr const char* didCancel = "org.zavorida.notification.name.task.didCancel";
inline constexpr const char* didComplete = "org.zavorida.notification.name.task.didComplete";
} // namespace Name::Task
namespace Key {
inline constexpr const char* task = "org.zavorida.notification.key.task";
inline constexpr const char* responseData = "org.zavorida.notification.key.responseData";
} // namespace Key
} // namespace Notification

} // namespace Zavorida
