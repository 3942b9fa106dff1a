#pragma once
// Plain functions that the kit host and its kits share: facts about the app bundle and the system, hex
// text, digests and UUID strings. They hold no state; every bundle fact is read from the main bundle.

#include "platform/foundation/Value.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// The app bundle.
std::string ZUVAppEscapedBundleIdentifier(); // "/" replaced by "_", for folder names and URLs
std::optional<std::string> ZUVAppBundleVersion();
std::optional<std::string> ZUVAppShortVersion();
// CFBundleDisplayName, else CFBundleName, else the bundle version.
std::optional<std::string> ZUVAppDisplayName();
bool ZUVAppStoreReceiptPresent();
bool ZUVAppSignedForDistribution();
// 4 installed from the store (receipt present), 3 signed for distribution, 1 anything else.
int ZUVAppInstallSource();

// The system.
struct ZUVOperatingSystemVersion {
    int64_t major = 0;
    int64_t minor = 0;
    int64_t patch = 0;
};
ZUVOperatingSystemVersion ZUVOSVersion();
// major x 10000 for majors 4 to 10; 0 for anything else, 11 and later included.
int64_t ZUVOSVersionNumber();
std::string ZUVOSDisplayVersion(); // "major.minor.patch"
std::optional<std::string> ZUVOSBuildVersion();
std::optional<std::string> ZUVHardwareMachine();
// The named system value; none when the system does not know the name. On this device "hw.machine" is the
// hardware code and "kern.osversion" the OS build text.
std::optional<std::string> ZUVSysctlString(std::string_view name);

// Encoding and digests.
// Writes 2 x length lower-case hex digits and a terminating zero into `buffer` (2 x length + 1 bytes), which is
// zeroed first; nothing when the buffer is null, only the zeros when the bytes are null.
void ZUVHexEncode(const uint8_t* bytes, size_t length, char* buffer);
std::string ZUVHexStringFromData(std::span<const uint8_t> data);
std::string ZUVSHA1HexOfBytes(const void* bytes, size_t length);
std::string ZUVSHA1HexOfData(std::span<const uint8_t> data);
std::string ZUVSHA256HexOfBytes(const void* bytes, size_t length);
std::string ZUVSHA256HexOfData(std::span<const uint8_t> data);
std::string ZUVHexStringFromUUIDBytes(const uint8_t bytes[16]);
// A new random UUID, 36 characters, upper-case hex with dashes.
std::string ZUVCreateUUIDString();

// Calls `block` for each contiguous byte range of `data` in order until it sets stop. A data value here is
// always one contiguous range, so the block runs once with the whole bytes and {0, length}.
struct ZUVByteRange {
    size_t location = 0;
    size_t length = 0;
};
void ZUVEnumerateDataByteRanges(const plat::Data& data,
                                const std::function<void(const uint8_t* bytes, ZUVByteRange range, bool& stop)>& block);
