#pragma once
// Errors of the instance-ID client: domain "com.vedudodu.iid" with integer codes.

#include "platform/foundation/Error.hpp"

#include <cstdint>
#include <optional>

inline constexpr const char* kDAVInstanceIDDomain = "com.vedudodu.iid";

enum DAVInstanceIDErrorCode : std::int64_t {
    kDAVInstanceIDErrorCodeUnknown = 0,
    kDAVInstanceIDErrorCodeInvalidRequest = 6,
    kDAVInstanceIDErrorCodeInvalidAPNSToken = 7,
    kDAVInstanceIDErrorCodeMissingDeviceID = 501,
    kDAVInstanceIDErrorCodeTokenSaveFailed = 502,
    kDAVInstanceIDErrorCodeInvalidStart = 1000,
    kDAVInstanceIDErrorCodeMissingAPNSToken = 1001,
    kDAVInstanceIDErrorCodeInvalidAuthorizedEntity = 1003,
    kDAVInstanceIDErrorCodeInvalidScope = 1004,
    kDAVInstanceIDErrorCodeMissingKeyPairStore = 1005,
    kDAVInstanceIDErrorCodeKeyPairLoadFailed = 1006,
    kDAVInstanceIDErrorCodeMissingKeyPair = 2001,
    kDAVInstanceIDErrorCodeInvalidKeyPairTags = 2002,
    kDAVInstanceIDErrorCodeInvalidKeyPairCreationTime = 2005,
    kDAVInstanceIDErrorCodeInvalidIdentity = 2006,
};

// Where a failing call leaves its error; calls take it as an optional out-parameter (nullptr: not wanted).
using DAVInstanceIDErrorSlot = std::optional<plat::Error>;

std::int64_t instanceIDErrorCode(const plat::Error& error);
plat::Error errorWithDAVInstanceIDErrorCode(std::int64_t code, plat::Dictionary userInfo = {});
plat::Error DAVInstanceIDErrorMissingCheckin();

// Fills the slot when the caller gave one.
inline void DAVInstanceIDSetError(DAVInstanceIDErrorSlot* slot, plat::Error error) {
    if (slot) {
        *slot = std::move(error);
    }
}
inline void DAVInstanceIDClearError(DAVInstanceIDErrorSlot* slot) {
    if (slot) {
        slot->reset();
    }
}
