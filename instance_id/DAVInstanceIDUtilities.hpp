#pragma once
// Helpers every part of the instance-ID client leans on: the app's and the device's facts, time in whole
// seconds, the locale and its change, digests and the text forms of identities, tokens and forms.

#include "instance_id/DAVInstanceIDURLQueryItem.hpp"
#include "platform/foundation/Value.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

std::string DAVInstanceIDAppIdentifier();
std::string DAVInstanceIDAppVersion();
const std::string& DAVInstanceIDLibraryVersion();
std::string DAVInstanceIDRegisterURL();

std::int64_t DAVInstanceIDNowSeconds();
std::int64_t DAVInstanceIDNowMilliseconds();

std::optional<std::string> DAVInstanceIDDefaultVedudoduAppID();
std::optional<std::string> DAVInstanceIDDeviceModel();
std::string DAVInstanceIDSystemVersion();

std::string DAVInstanceIDCurrentLocale();
bool DAVInstanceIDLocaleDidChange();
// The app's user defaults (the core's store over the bundle identifier's domain); a stored value that is no
// string reads as none.
std::optional<std::string> DAVInstanceIDUserDefaultsString(std::string_view key);
void DAVInstanceIDUserDefaultsSetString(std::string_view key, const std::string& value);

bool DAVInstanceIDIsMessagingScope(std::string_view scope);
std::string DAVInstanceIDHexString(const plat::Data& data);
std::optional<std::string> DAVInstanceIDAPNSTokenString(const std::optional<plat::Data>& token, bool sandbox);
// No messaging client is part of this system.
std::optional<std::string> DAVInstanceIDMessagingClientVersion();

plat::Data DAVInstanceIDSHA1(const plat::Data& data);
std::string DAVInstanceIDWebSafeBase64(const plat::Data& data);
std::string DAVInstanceIDFormEncode(const std::vector<DAVInstanceIDURLQueryItem>& items);
