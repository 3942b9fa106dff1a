#pragma once
// The measurement client's eighteen wire messages as message objects of the core's message layer: upload
// batches and bundles, stored events and user properties, the downloaded configuration with its audience
// definitions, and the stored audience results. Field IDs are slot positions, not wire tags; in every message
// but MeasurementBundle the slot is the tag minus one. Slots without a name here are fields this client never
// fills; they are still decoded, copied and written back.

#include "core/NANOMessage.hpp"

#include <vector>

// One wrapper class per message, with the names of its slots.
#define DMS_PB_MESSAGE_CLASS(Name, ...)                                                                        \
    class DMSPB##Name final : public NANOWrapper<DMSPB##Name> {                                               \
    public:                                                                                                    \
        static constexpr const char* kClassName = "DMSPB" #Name;                                               \
        static const NANOMessageDescriptor& messageDescriptor();                                               \
        using NANOWrapper::NANOWrapper;                                                                        \
        enum Field : int32_t { __VA_ARGS__ };                                                                  \
    };

DMS_PB_MESSAGE_CLASS(MeasurementBatch, kBundles = 0)

DMS_PB_MESSAGE_CLASS(MeasurementBundle, kProtocolVersion = 0, kEvents = 1, kUserAttributes = 2,
                    kUploadTimestampMillis = 3, kStartTimestampMillis = 4, kEndTimestampMillis = 5,
                    kPreviousBundleStartTimestampMillis = 6, kPreviousBundleEndTimestampMillis = 7, kPlatform = 8,
                    kOSVersion = 9, kDeviceModel = 10, kUserDefaultLanguage = 11, kTimeZoneOffsetMinutes = 12,
                    kAppID = 14, kAppVersion = 16, kRmpVersion = 17, kUploadingRmpVersion = 18,
                    kResettableDeviceID = 19, kVendorDeviceID = 20, kLimitedAdTracking = 21, kAppInstanceID = 22,
                    kBundleSequentialIndex = 24, kMonitoringSample = 25, kRmpAppID = 26,
                    kAudienceEvaluationResults = 28, kVedudoduInstanceID = 29, kAppVersionMajor = 30,
                    kAppVersionMinor = 31, kAppVersionRelease = 32, kConfigVersion = 34, kRetryCount = 35,
                    kAdnetAppID = 36)

DMS_PB_MESSAGE_CLASS(Event, kParams = 0, kName = 1, kTimestampMillis = 2, kPreviousTimestampMillis = 3)

DMS_PB_MESSAGE_CLASS(EventParam, kName = 0, kStringValue = 1, kIntValue = 2, kDoubleValue = 4)

DMS_PB_MESSAGE_CLASS(UserAttribute, kSetTimestampMillis = 0, kName = 1, kStringValue = 2, kIntValue = 3,
                    kDoubleValue = 5)

DMS_PB_MESSAGE_CLASS(MeasurementConfig, kVersion = 0, kAppID = 1, kSettings = 3, kEventConfig = 4, kAudiences = 5,
                    kAdnetAppID = 6)

DMS_PB_MESSAGE_CLASS(Setting, kName = 0, kValue = 1)

DMS_PB_MESSAGE_CLASS(EventConfig, kName = 0, kBlacklisted = 1, kCustomConversion = 2, kSamplingRate = 3)

DMS_PB_MESSAGE_CLASS(Audience, kAudienceID = 0, kPropertyFilters = 1, kEventFilters = 2)

DMS_PB_MESSAGE_CLASS(EventFilter, kFilterID = 0, kEventName = 1, kFilters = 2, kEventCountFilter = 4,
                    kDynamicFilter = 5, kSequenceFilter = 6)

DMS_PB_MESSAGE_CLASS(PropertyFilter, kFilterID = 0, kPropertyName = 1, kFilter = 2, kDynamicFilter = 3,
                    kSequenceFilter = 4)

DMS_PB_MESSAGE_CLASS(Filter, kStringFilter = 0, kNumberFilter = 1, kComplement = 2, kParamName = 3)

DMS_PB_MESSAGE_CLASS(NumberFilter, kComparisonType = 0, kIsFloat = 1, kComparisonValue = 2, kMinComparisonValue = 3,
                    kMaxComparisonValue = 4)

DMS_PB_MESSAGE_CLASS(StringFilter, kMatchType = 0, kExpression = 1, kCaseSensitive = 2, kExpressionList = 3)

DMS_PB_MESSAGE_CLASS(AudienceLeafFilterResult, kAudienceID = 0, kCurrentResults = 1, kPreviousResults = 2,
                    kNewAudience = 3)

DMS_PB_MESSAGE_CLASS(ResultData, kStatus = 0, kResults = 1, kDynamicFilterTimestamps = 2,
                    kSequenceFilterTimestamps = 3)

DMS_PB_MESSAGE_CLASS(DynamicFilterResultTimestamp, kFilterID = 0, kEvalTimestamp = 1)

DMS_PB_MESSAGE_CLASS(SequenceFilterResultTimestamp, kFilterID = 0, kEvalTimestamps = 1)

#undef DMS_PB_MESSAGE_CLASS

// Every message of this file, for checks that run over all of them.
const std::vector<const NANOMessageDescriptor*>& measurementMessageDescriptors();
