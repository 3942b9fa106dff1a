#pragma once
// The process's notification centre, as the suites of this folder ask for it.

#include "platform/usernotifications/UNUserNotificationCenter.hpp"

#include <memory>

namespace plat::test {

inline std::shared_ptr<UNUserNotificationCenter> center() {
    return UNUserNotificationCenter::currentNotificationCenter();
}

} // namespace plat::test
