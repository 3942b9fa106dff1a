#include "kit_host/ZUVApplicationIdentiferModel.hpp"

#include "kit_host/VZRMachOBinary.hpp"
#include "kit_host/ZUVUtilities.hpp"
#include "platform/foundation/ProcessImage.hpp"

#include <cstring>
#include <span>

namespace {

std::optional<std::string> versionText(const VZRMachOVersion& v) {
    if (v.major == 0 && v.minor == 0 && v.bugfix == 0)
        return std::nullopt;
    char text[40];
    VZRMachOVersionString(&v, text, sizeof text);
    return std::string(text);
}

} // namespace

std::shared_ptr<ZUVApplicationIdentiferModel> ZUVApplicationIdentiferModel::initWithInstallID(
    std::optional<std::string> installID) {
    auto model = std::make_shared<ZUVApplicationIdentiferModel>();
    model->installID_ = std::move(installID);
    model->bundleIdentifier_ = ZUVAppEscapedBundleIdentifier();
    if (!model->computeExecutableInfo())
        return nullptr;
    model->computeInstanceIdentifier();
    return model;
}

bool ZUVApplicationIdentiferModel::computeExecutableInfo() {
    VZRMachOFile file;
    if (!VZRMachOFileMapExecutable(&file))
        return false;
    const std::span<const uint8_t> bytes(static_cast<const uint8_t*>(file.mappedFile), file.mappedSize);
    if (std::memcmp(bytes.data(), "\x7f" "ELF", 4) == 0) {
        // The stand-in's own executable: its build-id is the one UUID it has.
        if (auto identity = plat::elfIdentity(bytes)) {
            for (const auto& slice : identity->slices) {
                if (slice.uuid) {
                    char text[33];
                    VZRMachOUUIDString(slice.uuid->data(), text);
                    architectureUUIDMap_[slice.architecture] = text;
                }
            }
        }
    } else {
        VZRMachOFileEnumerateSlices(&file, [this](VZRMachOSliceInfo* slice) {
            const std::string architecture = VZRMachOArchitectureName(slice);
            VZRMachOSliceEnumerateLoadCommands(slice, [&](const VZRMachOLoadCommand& command) {
                if (const uint8_t* uuid = VZRMachOLoadCommandUUIDBytes(command)) {
                    char text[33];
                    VZRMachOUUIDString(uuid, text);
                    architectureUUIDMap_[architecture] = text;
                } else if (command.type == kVZRLoadCommandVersionMinMacOSX ||
                           command.type == kVZRLoadCommandVersionMinIPhoneOS) {
                    minimumSDK_ = VZRMachOLoadCommandMinimumOSVersion(command);
                    builtSDK_ = VZRMachOLoadCommandSDKVersion(command);
                }
            });
        });
    }
    VZRMachOFileUnmap(&file);
    return true;
}

void ZUVApplicationIdentiferModel::computeInstanceIdentifier() {
    std::string joined;
    for (const auto& [architecture, uuid] : architectureUUIDMap_)
        joined += uuid;
    instanceIdentifier_ = VZRMachOBinary::hashNSString(joined);
}

std::optional<std::string> ZUVApplicationIdentiferModel::builtSDKString() const {
    return versionText(builtSDK_);
}

std::optional<std::string> ZUVApplicationIdentiferModel::minimumSDKString() const {
    return versionText(minimumSDK_);
}

std::shared_ptr<ZUVIcon> ZUVApplicationIdentiferModel::icon() const {
    return ZUVAppIconUtility().applicationIcon();
}
