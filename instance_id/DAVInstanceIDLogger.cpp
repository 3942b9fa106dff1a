#include "instance_id/DAVInstanceIDLogger.hpp"

#include "platform/foundation/Format.hpp"
#include "platform/foundation/NeverDestroyed.hpp"

std::string DAVInstanceIDLogger::formatMessageCode(long code) {
    return plat::format("I-IID%06ld", code);
}

DAVInstanceIDLogger& DAVInstanceIDSharedLogger() {
    static plat::NeverDestroyed<DAVInstanceIDLogger> logger;
    return *logger;
}
