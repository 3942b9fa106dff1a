#include "kit_host/ZUVUtilities.hpp"

#include "platform/device/DeviceProfile.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/Digest.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/UUID.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

std::optional<std::string> infoString(std::string_view key) {
    auto value = plat::Bundle::main()->objectForInfoDictionaryKey(key);
    if (!value || !value->isString())
        return std::nullopt;
    return value->stringValue();
}

std::string hex(const uint8_t* bytes, size_t length) {
    std::string out(2 * length + 1, '\0');
    ZUVHexEncode(bytes, length, out.data());
    out.pop_back();
    return out;
}

// The whole-string integer reading of a version piece: leading digits, 0 when there are none.
int64_t pieceValue(std::string_view piece) {
    int64_t v = 0;
    for (char c : piece) {
        if (c < '0' || c > '9')
            break;
        v = v * 10 + (c - '0');
    }
    return v;
}

} // namespace

std::string ZUVAppEscapedBundleIdentifier() {
    std::string id = plat::Bundle::main()->bundleIdentifier().value_or("");
    std::replace(id.begin(), id.end(), '/', '_');
    return id;
}

std::optional<std::string> ZUVAppBundleVersion() {
    return infoString("CFBundleVersion");
}

std::optional<std::string> ZUVAppShortVersion() {
    return infoString("CFBundleShortVersionString");
}

std::optional<std::string> ZUVAppDisplayName() {
    if (auto name = infoString("CFBundleDisplayName"))
        return name;
    if (auto name = infoString("CFBundleName"))
        return name;
    return ZUVAppBundleVersion();
}

bool ZUVAppStoreReceiptPresent() {
    if (ZUVOSVersionNumber() < 70000)
        return false;
    return plat::FileManager::defaultManager().fileExists(plat::Bundle::main()->storeReceiptURL());
}

bool ZUVAppSignedForDistribution() {
    auto value = plat::Bundle::main()->objectForInfoDictionaryKey("VuzidorazavSignedForDistribution");
    return value && value->boolValue();
}

int ZUVAppInstallSource() {
    if (ZUVAppStoreReceiptPresent())
        return 4;
    return ZUVAppSignedForDistribution() ? 3 : 1;
}

ZUVOperatingSystemVersion ZUVOSVersion() {
    // The process-information object answers the version from OS 8 on; before that the device's version
    // text is split at its dots.
    if (plat::DeviceProfile::isAtLeast(8)) {
        const auto v = plat::ProcessInfo::processInfo().operatingSystemVersion();
        return {v.majorVersion, v.minorVersion, v.patchVersion};
    }
    const std::string text = plat::DeviceProfile::systemVersion();
    std::vector<std::string_view> pieces;
    std::string_view rest = text;
    while (true) {
        const size_t dot = rest.find('.');
        pieces.push_back(rest.substr(0, dot));
        if (dot == std::string_view::npos)
            break;
        rest.remove_prefix(dot + 1);
    }
    ZUVOperatingSystemVersion v;
    v.major = pieceValue(pieces[0]);
    if (pieces.size() >= 2)
        v.minor = pieceValue(pieces[1]);
    if (pieces.size() >= 3)
        v.patch = pieceValue(pieces[2]);
    return v;
}

int64_t ZUVOSVersionNumber() {
    const int64_t major = ZUVOSVersion().major;
    return major >= 4 && major <= 10 ? major * 10000 : 0;
}

std::string ZUVOSDisplayVersion() {
    const auto v = ZUVOSVersion();
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "%ld.%ld.%ld", static_cast<long>(v.major), static_cast<long>(v.minor),
                  static_cast<long>(v.patch));
    return buffer;
}

std::optional<std::string> ZUVOSBuildVersion() {
    return ZUVSysctlString("kern.osversion");
}

std::optional<std::string> ZUVHardwareMachine() {
    return ZUVSysctlString("hw.machine");
}

std::optional<std::string> ZUVSysctlString(std::string_view name) {
    if (name == "hw.machine")
        return plat::DeviceProfile::machine();
    if (name == "kern.osversion")
        return plat::DeviceProfile::osBuild();
    return std::nullopt;
}

void ZUVHexEncode(const uint8_t* bytes, size_t length, char* buffer) {
    if (!buffer)
        return;
    std::memset(buffer, 0, 2 * length + 1);
    if (!bytes)
        return;
    static constexpr char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < length; ++i) {
        buffer[2 * i] = kDigits[bytes[i] >> 4];
        buffer[2 * i + 1] = kDigits[bytes[i] & 0x0F];
    }
}

std::string ZUVHexStringFromData(std::span<const uint8_t> data) {
    return hex(data.data(), data.size());
}

std::string ZUVSHA1HexOfBytes(const void* bytes, size_t length) {
    const auto digest = plat::Digest::sha1(std::span(static_cast<const uint8_t*>(bytes), length));
    return hex(digest.data(), digest.size());
}

std::string ZUVSHA1HexOfData(std::span<const uint8_t> data) {
    return ZUVSHA1HexOfBytes(data.data(), data.size());
}

std::string ZUVSHA256HexOfBytes(const void* bytes, size_t length) {
    const auto digest = plat::Digest::sha256(std::span(static_cast<const uint8_t*>(bytes), length));
    return hex(digest.data(), digest.size());
}

std::string ZUVSHA256HexOfData(std::span<const uint8_t> data) {
    return ZUVSHA256HexOfBytes(data.data(), data.size());
}

std::string ZUVHexStringFromUUIDBytes(const uint8_t bytes[16]) {
    return hex(bytes, 16);
}

std::string ZUVCreateUUIDString() {
    return plat::UUID::random().uuidString();
}

void ZUVEnumerateDataByteRanges(const plat::Data& data,
                                const std::function<void(const uint8_t* bytes, ZUVByteRange range, bool& stop)>& block) {
    bool stop = false;
    block(data.data(), {0, data.size()}, stop);
}
