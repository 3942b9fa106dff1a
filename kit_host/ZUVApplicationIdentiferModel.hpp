#pragma once
// The build's identity as every kit reports it: the UUID of each architecture slice of the running
// executable, the OS versions it was built for, and the instance identifier made from those UUIDs.
// The device's executables are Mach-O; the running program here is ELF, whose identity is one slice
// carrying the build-id (plat::executableIdentity). A Mach-O file at the executable path is read as such.

#include "kit_host/VZRMachO.hpp"
#include "kit_host/ZUVAppIconUtility.hpp"

#include <map>
#include <memory>
#include <optional>
#include <string>

class ZUVApplicationIdentiferModel {
public:
    // Null when the executable cannot be mapped.
    static std::shared_ptr<ZUVApplicationIdentiferModel> initWithInstallID(std::optional<std::string> installID);

    // Architecture name -> UUID as 32 lower-case hex digits, ordered by name.
    const std::map<std::string, std::string>& architectureUUIDMap() const { return architectureUUIDMap_; }
    const std::optional<std::string>& installID() const { return installID_; }
    const std::string& bundleIdentifier() const { return bundleIdentifier_; }
    // SHA-1 (40 lower-case hex digits) of the UUIDs in architecture-name order.
    const std::string& instanceIdentifier() const { return instanceIdentifier_; }
    VZRMachOVersion builtSDK() const { return builtSDK_; }
    VZRMachOVersion minimumSDK() const { return minimumSDK_; }
    // "major.minor.bugfix"; none when the executable names no version.
    std::optional<std::string> builtSDKString() const;
    std::optional<std::string> minimumSDKString() const;
    // The app's icon, searched afresh on each call; none when the app has none.
    std::shared_ptr<ZUVIcon> icon() const;

private:
    bool computeExecutableInfo();
    void computeInstanceIdentifier();

    std::map<std::string, std::string> architectureUUIDMap_;
    std::optional<std::string> installID_;
    std::string bundleIdentifier_;
    std::string instanceIdentifier_;
    VZRMachOVersion builtSDK_;
    VZRMachOVersion minimumSDK_;
};
