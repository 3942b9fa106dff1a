#include "core/CoreLogMessages.hpp"

#include "CoreLog.pb.h"

namespace {

constexpr uint32_t kLogStr = kNANOFlagString | kNANOFlagSingular;
constexpr uint32_t kLogBytes = kNANOFlagBytes | kNANOFlagSingular;
constexpr uint32_t kLogEnum = kNANOFlagEnum | kNANOFlagSingular;
constexpr uint32_t kLogI32 = kNANOFlagInt32 | kNANOFlagSingular;
constexpr uint32_t kLogI64 = kNANOFlagInt64 | kNANOFlagSingular;
constexpr uint32_t kLogBool = kNANOFlagBool | kNANOFlagSingular;
constexpr uint32_t kLogMsg = kNANOFlagMessage | kNANOFlagSingular;

// ---- IosClientInfo ----
const uint32_t kIosClientInfoFlags[8] = {kLogStr, kLogStr, kLogStr, kLogStr, kLogStr, kLogStr, kLogStr, kLogStr};
const NANOFieldSpec kIosClientInfoFields[8] = {{1}, {2}, {3}, {4}, {5}, {6}, {7}, {8}};

// ---- ClientInfo ----
const uint32_t kClientInfoFlags[4] = {kLogEnum, kLogStr, kLogStr, kLogMsg};
const NANOFieldSpec kClientInfoFields[4] = {
    {1}, {6}, {7}, {4, &DLCPBIosClientInfo::messageDescriptor(), "ios_client_info"}};

// ---- LogEvent ----
const uint32_t kLogEventFlags[18] = {kLogI64,  kLogI64, kLogI64,  kLogStr, kLogI32, kLogI32,
                                     kLogBool, kLogBytes, kLogBytes, kLogStr, kLogStr, kLogStr,
                                     kLogI64,  kLogBytes, kLogStr, kLogEnum,
                                     kNANOFlagInt32 | kNANOFlagRepeated, kLogI64};
const NANOFieldSpec kLogEventFields[18] = {{1},  {17}, {21}, {2},  {11}, {12}, {10}, {4},
                                           {6},  {8},  {13}, {14}, {15}, {18}, {24}, {19},
                                           {20, nullptr, "test_code"}, {22}};

// ---- LogRequest ----
const uint32_t kLogRequestFlags[9] = {kLogI64, kLogI64, kLogMsg, kLogEnum, kLogStr, kLogStr,
                                      kNANOFlagMessage | kNANOFlagRepeated, kNANOFlagBytes | kNANOFlagRepeated,
                                      kLogEnum};
const NANOFieldSpec kLogRequestFields[9] = {{4},
                                            {8},
                                            {1, &DLCPBClientInfo::messageDescriptor(), "client_info"},
                                            {2},
                                            {6},
                                            {7},
                                            {3, &DLCPBLogEvent::messageDescriptor(), "log_event"},
                                            {5, nullptr, "serialized_log_events"},
                                            {10}};

// ---- ErrorInfo ----
const uint32_t kErrorInfoFlags[3] = {kLogBool, kLogI32, kLogStr};
const NANOFieldSpec kErrorInfoFields[3] = {{1}, {2}, {3}};

// ---- ICoreConfiguration ----
const uint32_t kICoreConfigurationFlags[34] = {
    kLogEnum, kLogEnum, kLogStr, kLogStr, kLogStr, kLogI64, kLogEnum, kLogStr,
    kNANOFlagEnum | kNANOFlagRepeated, kNANOFlagEnum | kNANOFlagRepeated, kLogEnum, kLogMsg,
    kNANOFlagMessage | kNANOFlagRepeated, kLogStr, kLogStr, kLogStr, kLogI64, kLogStr, kLogStr, kLogStr, kLogStr,
    kLogStr, kLogBool, kLogI32, kLogBool, kLogI32, kLogStr, kLogBool, kLogEnum, kLogStr, kLogI64, kLogBool,
    kLogI32, kLogI32};
const NANOFieldSpec kICoreConfigurationFields[34] = {
    {16}, {1}, {2}, {18}, {19}, {3}, {4}, {5},
    {6, nullptr, "sdk_service_enabled"}, {7, nullptr, "sdk_service_installed"}, {20},
    {15, &DAVPBErrorInfo::messageDescriptor(), "error_info"},
    {17, &DAVPBErrorInfo::messageDescriptor(), "subspec_error_info"},
    {9}, {22}, {10}, {11}, {12}, {13}, {23}, {24}, {14}, {25}, {21}, {26}, {27}, {28}, {29}, {30}, {31}, {32},
    {33}, {34}, {35}};

} // namespace

const NANOMessageDescriptor& DLCPBIosClientInfo::messageDescriptor() {
    static const NANOMessageDescriptor d{"IosClientInfo", 8, kIosClientInfoFlags, kIosClientInfoFields,
                                         &dvulog_IosClientInfo_msg, sizeof(dvulog_IosClientInfo)};
    return d;
}

const NANOMessageDescriptor& DLCPBClientInfo::messageDescriptor() {
    static const NANOMessageDescriptor d{"ClientInfo", 4, kClientInfoFlags, kClientInfoFields,
                                         &dvulog_ClientInfo_msg, sizeof(dvulog_ClientInfo)};
    return d;
}

const NANOMessageDescriptor& DLCPBLogEvent::messageDescriptor() {
    static const NANOMessageDescriptor d{"LogEvent", 18, kLogEventFlags, kLogEventFields, &dvulog_LogEvent_msg,
                                         sizeof(dvulog_LogEvent)};
    return d;
}

const NANOMessageDescriptor& DLCPBLogRequest::messageDescriptor() {
    static const NANOMessageDescriptor d{"LogRequest", 9, kLogRequestFlags, kLogRequestFields,
                                         &dvulog_LogRequest_msg, sizeof(dvulog_LogRequest)};
    return d;
}

const NANOMessageDescriptor& DAVPBErrorInfo::messageDescriptor() {
    static const NANOMessageDescriptor d{"ErrorInfo", 3, kErrorInfoFlags, kErrorInfoFields, &dvulog_ErrorInfo_msg,
                                         sizeof(dvulog_ErrorInfo)};
    return d;
}

const NANOMessageDescriptor& DAVPBICoreConfiguration::messageDescriptor() {
    static const NANOMessageDescriptor d{"ICoreConfiguration", 34, kICoreConfigurationFlags,
                                         kICoreConfigurationFields, &dvulog_ICoreConfiguration_msg,
                                         sizeof(dvulog_ICoreConfiguration)};
    return d;
}

const std::vector<const NANOMessageDescriptor*>& coreLogMessageDescriptors() {
    static const std::vector<const NANOMessageDescriptor*> all{
        &DLCPBClientInfo::messageDescriptor(), &DLCPBIosClientInfo::messageDescriptor(),
        &DLCPBLogEvent::messageDescriptor(),   &DLCPBLogRequest::messageDescriptor(),
        &DAVPBErrorInfo::messageDescriptor(),  &DAVPBICoreConfiguration::messageDescriptor()};
    return all;
}
