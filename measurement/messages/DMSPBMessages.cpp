#include "measurement/messages/DMSPBMessages.hpp"

#include "DMSMeasurement.pb.h"

namespace {

constexpr uint32_t kDmsI32 = kNANOFlagInt32 | kNANOFlagSingular;
constexpr uint32_t kDmsI64 = kNANOFlagInt64 | kNANOFlagSingular;
constexpr uint32_t kDmsBool = kNANOFlagBool | kNANOFlagSingular;
constexpr uint32_t kDmsEnum = kNANOFlagEnum | kNANOFlagSingular;
constexpr uint32_t kDmsFloat = kNANOFlagFloat | kNANOFlagSingular;
constexpr uint32_t kDmsDouble = kNANOFlagDouble | kNANOFlagSingular;
constexpr uint32_t kDmsStr = kNANOFlagString | kNANOFlagSingular;
constexpr uint32_t kDmsMsg = kNANOFlagMessage | kNANOFlagSingular;
constexpr uint32_t kDmsMsgs = kNANOFlagMessage | kNANOFlagRepeated;
constexpr uint32_t kDmsStrs = kNANOFlagString | kNANOFlagRepeated;
constexpr uint32_t kDmsI64s = kNANOFlagInt64 | kNANOFlagRepeated;
constexpr uint32_t kDmsU64s = kNANOFlagUInt64 | kNANOFlagRepeated;

} // namespace

// The tables live inside the functions: a message's table names its submessages' descriptors, and the schema
// has no cycles, so first use builds each one after the ones it needs, whatever the order of static set-up.

const NANOMessageDescriptor& DMSPBMeasurementBatch::messageDescriptor() {
    static const uint32_t flags[1] = {kDmsMsgs};
    static const NANOFieldSpec fields[1] = {{1, &DMSPBMeasurementBundle::messageDescriptor(), "bundles"}};
    static const NANOMessageDescriptor d{"MeasurementBatch", 1, flags, fields, &dms_MeasurementBatch_msg,
                                         sizeof(dms_MeasurementBatch)};
    return d;
}

const NANOMessageDescriptor& DMSPBMeasurementBundle::messageDescriptor() {
    static const uint32_t flags[37] = {
        kDmsI32,  kDmsMsgs, kDmsMsgs, kDmsI64, kDmsI64,  kDmsI64, kDmsI64, kDmsI64, kDmsStr, kDmsStr,
        kDmsStr,  kDmsStr,  kDmsI32,  kDmsStr, kDmsStr,  kDmsI64, kDmsStr, kDmsI64, kDmsI64, kDmsStr,
        kDmsStr,  kDmsBool, kDmsStr,  kDmsI64, kDmsI32,  kDmsStr, kDmsStr, kDmsBool, kDmsMsgs, kDmsStr,
        kDmsI32,  kDmsI32,  kDmsI32,  kDmsStr, kDmsI64,  kDmsI32, kDmsStr};
    static const NANOFieldSpec fields[37] = {
        {1},
        {2, &DMSPBEvent::messageDescriptor(), "events"},
        {3, &DMSPBUserAttribute::messageDescriptor(), "user_attributes"},
        {4}, {5}, {6}, {26}, {7}, {8}, {9}, {10}, {11}, {12}, {13}, {14}, {15}, {16}, {17}, {18}, {19}, {27},
        {20}, {21}, {22}, {23}, {24}, {25}, {28},
        {29, &DMSPBAudienceLeafFilterResult::messageDescriptor(), "audience_evaluation_results"},
        {30}, {31}, {32}, {33}, {34}, {35}, {39}, {41}};
    static const NANOMessageDescriptor d{"MeasurementBundle", 37, flags, fields, &dms_MeasurementBundle_msg,
                                         sizeof(dms_MeasurementBundle)};
    return d;
}

const NANOMessageDescriptor& DMSPBEvent::messageDescriptor() {
    static const uint32_t flags[5] = {kDmsMsgs, kDmsStr, kDmsI64, kDmsI64, kDmsI32};
    static const NANOFieldSpec fields[5] = {
        {1, &DMSPBEventParam::messageDescriptor(), "params"}, {2}, {3}, {4}, {5}};
    static const NANOMessageDescriptor d{"Event", 5, flags, fields, &dms_Event_msg, sizeof(dms_Event)};
    return d;
}

const NANOMessageDescriptor& DMSPBEventParam::messageDescriptor() {
    static const uint32_t flags[5] = {kDmsStr, kDmsStr, kDmsI64, kDmsFloat, kDmsDouble};
    static const NANOFieldSpec fields[5] = {{1}, {2}, {3}, {4}, {5}};
    static const NANOMessageDescriptor d{"EventParam", 5, flags, fields, &dms_EventParam_msg,
                                         sizeof(dms_EventParam)};
    return d;
}

const NANOMessageDescriptor& DMSPBUserAttribute::messageDescriptor() {
    static const uint32_t flags[6] = {kDmsI64, kDmsStr, kDmsStr, kDmsI64, kDmsFloat, kDmsDouble};
    static const NANOFieldSpec fields[6] = {{1}, {2}, {3}, {4}, {5}, {6}};
    static const NANOMessageDescriptor d{"UserAttribute", 6, flags, fields, &dms_UserAttribute_msg,
                                         sizeof(dms_UserAttribute)};
    return d;
}

const NANOMessageDescriptor& DMSPBMeasurementConfig::messageDescriptor() {
    static const uint32_t flags[7] = {kDmsI64, kDmsStr, kDmsI32, kDmsMsgs, kDmsMsgs, kDmsMsgs, kDmsStr};
    static const NANOFieldSpec fields[7] = {{1},
                                            {2},
                                            {3},
                                            {4, &DMSPBSetting::messageDescriptor(), "settings"},
                                            {5, &DMSPBEventConfig::messageDescriptor(), "event_config"},
                                            {6, &DMSPBAudience::messageDescriptor(), "audiences"},
                                            {7}};
    static const NANOMessageDescriptor d{"MeasurementConfig", 7, flags, fields, &dms_MeasurementConfig_msg,
                                         sizeof(dms_MeasurementConfig)};
    return d;
}

const NANOMessageDescriptor& DMSPBSetting::messageDescriptor() {
    static const uint32_t flags[2] = {kDmsStr, kDmsStr};
    static const NANOFieldSpec fields[2] = {{1}, {2}};
    static const NANOMessageDescriptor d{"Setting", 2, flags, fields, &dms_Setting_msg, sizeof(dms_Setting)};
    return d;
}

const NANOMessageDescriptor& DMSPBEventConfig::messageDescriptor() {
    static const uint32_t flags[4] = {kDmsStr, kDmsBool, kDmsBool, kDmsI32};
    static const NANOFieldSpec fields[4] = {{1}, {2}, {3}, {4}};
    static const NANOMessageDescriptor d{"EventConfig", 4, flags, fields, &dms_EventConfig_msg,
                                         sizeof(dms_EventConfig)};
    return d;
}

const NANOMessageDescriptor& DMSPBAudience::messageDescriptor() {
    static const uint32_t flags[5] = {kDmsI32, kDmsMsgs, kDmsMsgs, kDmsBool, kDmsBool};
    static const NANOFieldSpec fields[5] = {{1},
                                            {2, &DMSPBPropertyFilter::messageDescriptor(), "property_filters"},
                                            {3, &DMSPBEventFilter::messageDescriptor(), "event_filters"},
                                            {4},
                                            {5}};
    static const NANOMessageDescriptor d{"Audience", 5, flags, fields, &dms_Audience_msg, sizeof(dms_Audience)};
    return d;
}

const NANOMessageDescriptor& DMSPBEventFilter::messageDescriptor() {
    static const uint32_t flags[7] = {kDmsI32, kDmsStr, kDmsMsgs, kDmsBool, kDmsMsg, kDmsBool, kDmsBool};
    static const NANOFieldSpec fields[7] = {{1},
                                            {2},
                                            {3, &DMSPBFilter::messageDescriptor(), "filters"},
                                            {4},
                                            {5, &DMSPBNumberFilter::messageDescriptor(), "event_count_filter"},
                                            {6},
                                            {7}};
    static const NANOMessageDescriptor d{"EventFilter", 7, flags, fields, &dms_EventFilter_msg,
                                         sizeof(dms_EventFilter)};
    return d;
}

const NANOMessageDescriptor& DMSPBPropertyFilter::messageDescriptor() {
    static const uint32_t flags[5] = {kDmsI32, kDmsStr, kDmsMsg, kDmsBool, kDmsBool};
    static const NANOFieldSpec fields[5] = {
        {1}, {2}, {3, &DMSPBFilter::messageDescriptor(), "filter"}, {4}, {5}};
    static const NANOMessageDescriptor d{"PropertyFilter", 5, flags, fields, &dms_PropertyFilter_msg,
                                         sizeof(dms_PropertyFilter)};
    return d;
}

const NANOMessageDescriptor& DMSPBFilter::messageDescriptor() {
    static const uint32_t flags[6] = {kDmsMsg, kDmsMsg, kDmsBool, kDmsStr, kDmsBool, kDmsBool};
    static const NANOFieldSpec fields[6] = {{1, &DMSPBStringFilter::messageDescriptor(), "string_filter"},
                                            {2, &DMSPBNumberFilter::messageDescriptor(), "number_filter"},
                                            {3},
                                            {4},
                                            {5},
                                            {6}};
    static const NANOMessageDescriptor d{"Filter", 6, flags, fields, &dms_Filter_msg, sizeof(dms_Filter)};
    return d;
}

const NANOMessageDescriptor& DMSPBNumberFilter::messageDescriptor() {
    static const uint32_t flags[5] = {kDmsEnum, kDmsBool, kDmsStr, kDmsStr, kDmsStr};
    static const NANOFieldSpec fields[5] = {{1}, {2}, {3}, {4}, {5}};
    static const NANOMessageDescriptor d{"NumberFilter", 5, flags, fields, &dms_NumberFilter_msg,
                                         sizeof(dms_NumberFilter)};
    return d;
}

const NANOMessageDescriptor& DMSPBStringFilter::messageDescriptor() {
    static const uint32_t flags[4] = {kDmsEnum, kDmsStr, kDmsBool, kDmsStrs};
    static const NANOFieldSpec fields[4] = {{1}, {2}, {3}, {4, nullptr, "expression_list"}};
    static const NANOMessageDescriptor d{"StringFilter", 4, flags, fields, &dms_StringFilter_msg,
                                         sizeof(dms_StringFilter)};
    return d;
}

const NANOMessageDescriptor& DMSPBAudienceLeafFilterResult::messageDescriptor() {
    static const uint32_t flags[4] = {kDmsI32, kDmsMsg, kDmsMsg, kDmsBool};
    static const NANOFieldSpec fields[4] = {{1},
                                            {2, &DMSPBResultData::messageDescriptor(), "current_results"},
                                            {3, &DMSPBResultData::messageDescriptor(), "previous_results"},
                                            {4}};
    static const NANOMessageDescriptor d{"AudienceLeafFilterResult", 4, flags, fields,
                                         &dms_AudienceLeafFilterResult_msg, sizeof(dms_AudienceLeafFilterResult)};
    return d;
}

const NANOMessageDescriptor& DMSPBResultData::messageDescriptor() {
    static const uint32_t flags[4] = {kDmsU64s, kDmsU64s, kDmsMsgs, kDmsMsgs};
    static const NANOFieldSpec fields[4] = {
        {1, nullptr, "status"},
        {2, nullptr, "results"},
        {3, &DMSPBDynamicFilterResultTimestamp::messageDescriptor(), "dynamic_filter_timestamps"},
        {4, &DMSPBSequenceFilterResultTimestamp::messageDescriptor(), "sequence_filter_timestamps"}};
    static const NANOMessageDescriptor d{"ResultData", 4, flags, fields, &dms_ResultData_msg,
                                         sizeof(dms_ResultData)};
    return d;
}

const NANOMessageDescriptor& DMSPBDynamicFilterResultTimestamp::messageDescriptor() {
    static const uint32_t flags[2] = {kDmsI32, kDmsI64};
    static const NANOFieldSpec fields[2] = {{1}, {2}};
    static const NANOMessageDescriptor d{"DynamicFilterResultTimestamp", 2, flags, fields,
                                         &dms_DynamicFilterResultTimestamp_msg,
                                         sizeof(dms_DynamicFilterResultTimestamp)};
    return d;
}

const NANOMessageDescriptor& DMSPBSequenceFilterResultTimestamp::messageDescriptor() {
    static const uint32_t flags[2] = {kDmsI32, kDmsI64s};
    static const NANOFieldSpec fields[2] = {{1}, {2, nullptr, "eval_timestamps"}};
    static const NANOMessageDescriptor d{"SequenceFilterResultTimestamp", 2, flags, fields,
                                         &dms_SequenceFilterResultTimestamp_msg,
                                         sizeof(dms_SequenceFilterResultTimestamp)};
    return d;
}

const std::vector<const NANOMessageDescriptor*>& measurementMessageDescriptors() {
    static const std::vector<const NANOMessageDescriptor*> all{
        &DMSPBAudience::messageDescriptor(),
        &DMSPBAudienceLeafFilterResult::messageDescriptor(),
        &DMSPBDynamicFilterResultTimestamp::messageDescriptor(),
        &DMSPBEvent::messageDescriptor(),
        &DMSPBEventConfig::messageDescriptor(),
        &DMSPBEventFilter::messageDescriptor(),
        &DMSPBEventParam::messageDescriptor(),
        &DMSPBFilter::messageDescriptor(),
        &DMSPBMeasurementBatch::messageDescriptor(),
        &DMSPBMeasurementBundle::messageDescriptor(),
        &DMSPBMeasurementConfig::messageDescriptor(),
        &DMSPBNumberFilter::messageDescriptor(),
        &DMSPBPropertyFilter::messageDescriptor(),
        &DMSPBResultData::messageDescriptor(),
        &DMSPBSequenceFilterResultTimestamp::messageDescriptor(),
        &DMSPBSetting::messageDescriptor(),
        &DMSPBStringFilter::messageDescriptor(),
        &DMSPBUserAttribute::messageDescriptor()};
    return all;
}
