#pragma once
// The messages of the log-collection protocol (the sending client, one logged event, one upload) and of the
// core's diagnostics report (its configuration and one error), as message objects of the accessor layer.
// Field IDs are slot positions, not wire tags; the constants below name the ones this system uses.

#include "core/NANOMessage.hpp"

class DLCPBClientInfo final : public NANOWrapper<DLCPBClientInfo> {
public:
    static constexpr const char* kClassName = "DLCPBClientInfo";
    static const NANOMessageDescriptor& messageDescriptor();
    using NANOWrapper::NANOWrapper;
    enum Field : int32_t { kClientType = 0, kIosClientInfo = 3 };
};

class DLCPBIosClientInfo final : public NANOWrapper<DLCPBIosClientInfo> {
public:
    static constexpr const char* kClassName = "DLCPBIosClientInfo";
    static const NANOMessageDescriptor& messageDescriptor();
    using NANOWrapper::NANOWrapper;
    enum Field : int32_t { kInstallIdentifier = 1, kOSVersion = 3, kApplicationBuild = 4 };
};

class DLCPBLogEvent final : public NANOWrapper<DLCPBLogEvent> {
public:
    static constexpr const char* kClassName = "DLCPBLogEvent";
    static const NANOMessageDescriptor& messageDescriptor();
    using NANOWrapper::NANOWrapper;
    enum Field : int32_t { kEventTimeMs = 0, kEventUptimeMs = 1, kSourceExtension = 8, kTestCode = 16 };
};

class DLCPBLogRequest final : public NANOWrapper<DLCPBLogRequest> {
public:
    static constexpr const char* kClassName = "DLCPBLogRequest";
    static const NANOMessageDescriptor& messageDescriptor();
    using NANOWrapper::NANOWrapper;
    enum Field : int32_t {
        kRequestTimeMs = 0,
        kRequestUptimeMs = 1,
        kClientInfo = 2,
        kLogSource = 3,
        kZwiebackCookie = 5,
        kLogEvent = 6,
        kSerializedLogEvents = 7,
    };
};

class DAVPBErrorInfo final : public NANOWrapper<DAVPBErrorInfo> {
public:
    static constexpr const char* kClassName = "DAVPBErrorInfo";
    static const NANOMessageDescriptor& messageDescriptor();
    using NANOWrapper::NANOWrapper;
    enum Field : int32_t { kErrorPresent = 0, kErrorCode = 1, kErrorDomain = 2 };
};

class DAVPBICoreConfiguration final : public NANOWrapper<DAVPBICoreConfiguration> {
public:
    static constexpr const char* kClassName = "DAVPBICoreConfiguration";
    static const NANOMessageDescriptor& messageDescriptor();
    using NANOWrapper::NANOWrapper;
    enum Field : int32_t {
        kFixedCode16 = 0,
        kConfigurationType = 1,
        kLibraryVersionID = 3,
        kServiceVersion = 4,
        kSdkServiceEnabled = 8,
        kSdkServiceInstalled = 9,
        kServiceType = 10,
        kErrorInfo = 11,
        kSubspecErrorInfo = 12,
        kDeviceModel = 13,
        kOSVersion = 14,
        kAppID = 15,
        kBundleID = 17,
        kMinimumOSVersion = 20,
        kInstallString = 21,
        kUsingOptionsFromDefaultPlist = 22,
        kAppCount = 23,
        kAppEnvironmentFlag = 24,
        kLinkedFrameworkCount = 25,
        kToolchainBuild = 26,
        kFixedFlag29 = 27,
        kFixedCode30 = 28,
        kUserAgent = 29,
        kAppDelegateProxyEnabled = 31,
    };
};

// Every message of this file, for checks that run over all of them.
const std::vector<const NANOMessageDescriptor*>& coreLogMessageDescriptors();
