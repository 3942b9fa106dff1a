#include "instance_id/DAVInstanceIDAPNSInfo.hpp"

#include "platform/foundation/PropertyList.hpp"

namespace {

constexpr const char* kAPNSInfoDeviceTokenKey = "device_token";
constexpr const char* kAPNSInfoSandboxKey = "sandbox";

} // namespace

std::shared_ptr<DAVInstanceIDAPNSInfo>
DAVInstanceIDAPNSInfo::initWithTokenOptionsDictionary(const plat::Dictionary& options) {
    const auto* token = options.find(kDAVInstanceIDTokenOptionsAPNSKey);
    const auto* sandbox = options.find(kDAVInstanceIDTokenOptionsAPNSIsSandboxKey);
    if (!token || !token->isData() || !sandbox || !sandbox->isNumber()) {
        return nullptr;
    }
    return std::make_shared<DAVInstanceIDAPNSInfo>(token->asData(), sandbox->boolValue());
}

std::shared_ptr<DAVInstanceIDAPNSInfo> DAVInstanceIDAPNSInfo::initWithCoder(const plat::Dictionary& archive) {
    const auto* token = archive.find(kAPNSInfoDeviceTokenKey);
    if (!token || !token->isData()) {
        return nullptr;
    }
    const auto* sandbox = archive.find(kAPNSInfoSandboxKey);
    return std::make_shared<DAVInstanceIDAPNSInfo>(token->asData(),
                                                   sandbox && sandbox->isNumber() && sandbox->boolValue());
}

plat::Dictionary DAVInstanceIDAPNSInfo::encodeWithCoder() const {
    return plat::Dictionary{{kAPNSInfoDeviceTokenKey, plat::Value(deviceToken_)},
                            {kAPNSInfoSandboxKey, plat::Value(sandbox_)}};
}

plat::Data DAVInstanceIDAPNSInfo::archivedData() const {
    auto data = plat::PropertyListSerialization::data(plat::Value(encodeWithCoder()),
                                                      plat::PropertyListSerialization::Format::Binary);
    return data ? std::move(*data) : plat::Data{};
}

std::shared_ptr<DAVInstanceIDAPNSInfo> DAVInstanceIDAPNSInfo::unarchive(const plat::Data& data) {
    auto archive = plat::PropertyListSerialization::dictionary(std::span<const std::uint8_t>(data));
    return archive ? initWithCoder(*archive) : nullptr;
}

bool DAVInstanceIDAPNSInfo::isEqualToAPNSInfo(const DAVInstanceIDAPNSInfo* other) const {
    if (other == this) {
        return true;
    }
    return other && deviceToken_ == other->deviceToken_ && sandbox_ == other->sandbox_;
}
