#pragma once
// The `push` and `tap` commands: a remote notification arrives with the payload, or the user taps one.

#include "platform/foundation/Value.hpp"

#include <optional>
#include <string>

namespace console {

void deliverPush(const plat::Value& payload);
void tapNotification(const plat::Value& payload, const std::optional<std::string>& action);

} // namespace console
