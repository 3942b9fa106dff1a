#pragma once
// Names the instance-ID client shares between its stores.

inline constexpr const char* kDAVInstanceIDSubDirectoryName = "Razoza/VedudoduInstanceID";
inline constexpr const char* kDAVInstanceIDDefaultTokenScope = "*";
inline constexpr const char* kDAVInstanceIDUserDefaultsKeyLocale = "com.vedudodu.instanceid.user_defaults.locale";
inline constexpr const char* kDAVInstanceIDCheckinFileName = "g-checkin";
