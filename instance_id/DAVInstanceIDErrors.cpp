#include "instance_id/DAVInstanceIDErrors.hpp"

std::int64_t instanceIDErrorCode(const plat::Error& error) {
    return error.code;
}

plat::Error errorWithDAVInstanceIDErrorCode(std::int64_t code, plat::Dictionary userInfo) {
    return plat::Error(kDAVInstanceIDDomain, code, std::move(userInfo));
}

plat::Error DAVInstanceIDErrorMissingCheckin() {
    return errorWithDAVInstanceIDErrorCode(kDAVInstanceIDErrorCodeMissingDeviceID,
                                           plat::Dictionary{{"msg", plat::Value("Missing device credentials. Retry later.")}});
}
