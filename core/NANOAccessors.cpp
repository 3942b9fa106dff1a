// The typed accessors over message records. Each checks that the message has a record and that the field
// is of its kind, logs through NSLog when not, and then reads or writes the slot.

#include "core/NANOMessage.hpp"

#include "platform/foundation/Console.hpp"
#include "platform/foundation/String.hpp"

#include <cstring>

namespace {

template <class... Args> void accessorPrint(std::string_view fmt, const Args&... args) {
    plat::NSLogText(plat::format(fmt, args...));
}

// The record of the message when it has one, else none after the accessor's line.
MessageInfo* accessorRecord(NANOMessageRef message, const char* operation) {
    MessageInfo* record = message.get() ? message.get()->messageInfo() : nullptr;
    if (!record || !record->slots) {
        plat::NSLog("ProtocolBuffer message hasn't been initialized. %s can't be performed", operation);
        return nullptr;
    }
    return record;
}

// A field ID outside the record is refused like a field of the wrong kind: it names no slot to touch.
bool accessorFieldFits(const MessageInfo* record, int32_t fieldID) {
    return fieldID >= 0 && static_cast<uint32_t>(fieldID) < record->descriptor->slotCount;
}

uint32_t accessorFlags(const MessageInfo* record, int32_t fieldID) {
    return accessorFieldFits(record, fieldID) ? record->flags[fieldID] : 0;
}

bool accessorTypeCheck(const MessageInfo* record, int32_t fieldID, bool accepted, const char* kind) {
    if (accessorFieldFits(record, fieldID) && accepted) {
        return true;
    }
    plat::NSLog("<Nano/Failure> Field type isn't %s. Message: %s, field ID: %d", kind, record->name, fieldID);
    return false;
}

// Resolves record, field and kind for a typed accessor; null after the right line.
NANOSlot* accessorSlot(NANOMessageRef message, int32_t fieldID, const char* operation, uint32_t mask,
                       uint32_t expected, const char* kind, MessageInfo** recordOut = nullptr) {
    MessageInfo* record = accessorRecord(message, operation);
    if (!record) {
        return nullptr;
    }
    const uint32_t flags = accessorFlags(record, fieldID);
    if (!accessorTypeCheck(record, fieldID, (flags & mask) == expected, kind)) {
        return nullptr;
    }
    if (recordOut) {
        *recordOut = record;
    }
    return &record->slots[fieldID];
}

NANOSlot* accessorScalarSlot(NANOMessageRef message, int32_t fieldID, const char* operation, uint32_t group,
                             const char* kind) {
    MessageInfo* record = accessorRecord(message, operation);
    if (!record) {
        return nullptr;
    }
    const uint32_t flags = accessorFlags(record, fieldID);
    if (!accessorTypeCheck(record, fieldID, (flags & group) != 0 && !(flags & kNANOFlagRepeated), kind)) {
        return nullptr;
    }
    return &record->slots[fieldID];
}

const NANOCell* accessorCell(const NANOSlot* slot) {
    return slot ? std::get_if<NANOCell>(slot) : nullptr;
}

constexpr uint32_t kAccessor32BitGroup = kNANOFlagEnum | kNANOFlagInt32 | kNANOFlagUInt32;
constexpr uint32_t kAccessor64BitGroup = kNANOFlagInt64 | kNANOFlagUInt64;

std::optional<std::string> accessorText(const NANOStringRecord& record) {
    if (!record.bytes) {
        return std::nullopt;
    }
    std::string text(reinterpret_cast<const char*>(record.bytes.get()), record.length);
    if (!plat::String::isValidUTF8(text)) {
        return std::nullopt;
    }
    return text;
}

std::string accessorClassName(const plat::Value& value) {
    return value.className();
}

const NANOMessage* accessorMessageObject(const plat::Value& value) {
    return dynamic_cast<const NANOMessage*>(value.ifObject());
}

} // namespace

bool NANOHasField(NANOMessageRef message, int32_t fieldID) {
    MessageInfo* record = message.get() ? message.get()->messageInfo() : nullptr;
    if (!record || !record->slots) {
        plat::NSLog("ProtocolBuffer message hasn't been initialized. HasField operation can't be performed. "
                    "Message name %s",
                    message.get() ? message.get()->messageID() : nullptr);
        return false;
    }
    if (!accessorFieldFits(record, fieldID)) {
        return false;
    }
    if (record->flags[fieldID] & kNANOFlagRepeated) {
        return true;
    }
    return !std::holds_alternative<std::monostate>(record->slots[fieldID]);
}

void NANOClearField(NANOMessageRef message, int32_t fieldID) {
    MessageInfo* record = message.get() ? message.get()->messageInfo() : nullptr;
    if (!record || !record->slots) {
        plat::NSLog("ProtocolBuffer message hasn't been initialized. ClearField can't be performed");
        return;
    }
    message.get()->deallocMessageFieldFn(record, fieldID);
}

bool NANOGetBool(NANOMessageRef message, int32_t fieldID) {
    const NANOCell* cell = accessorCell(accessorSlot(message, fieldID, "GetBool", kNANOFlagBool | kNANOFlagRepeated,
                                                     kNANOFlagBool, "a scalar BOOL"));
    return cell && (cell->bits & 0xff) != 0;
}

void NANOSetBool(NANOMessageRef message, int32_t fieldID, bool value) {
    if (NANOSlot* slot = accessorSlot(message, fieldID, "SetBool", kNANOFlagBool | kNANOFlagRepeated, kNANOFlagBool,
                                      "a scalar BOOL")) {
        NANOSetUInt32Value(slot, value ? 1 : 0);
    }
}

int32_t NANOGetInt32(NANOMessageRef message, int32_t fieldID) {
    const NANOCell* cell =
        accessorCell(accessorScalarSlot(message, fieldID, "GetInt32", kAccessor32BitGroup, "a scalar INT32"));
    return cell ? static_cast<int32_t>(static_cast<uint32_t>(cell->bits)) : 0;
}

void NANOSetInt32(NANOMessageRef message, int32_t fieldID, int32_t value) {
    if (NANOSlot* slot = accessorScalarSlot(message, fieldID, "SetInt32", kAccessor32BitGroup, "a scalar INT32")) {
        NANOSetUInt32Value(slot, static_cast<uint32_t>(value));
    }
}

int64_t NANOGetInt64(NANOMessageRef message, int32_t fieldID) {
    const NANOCell* cell =
        accessorCell(accessorScalarSlot(message, fieldID, "GetInt64", kAccessor64BitGroup, "a scalar INT64"));
    return cell ? static_cast<int64_t>(cell->bits) : 0;
}

void NANOSetInt64(NANOMessageRef message, int32_t fieldID, int64_t value) {
    if (NANOSlot* slot = accessorScalarSlot(message, fieldID, "SetInt64", kAccessor64BitGroup, "a scalar INT64")) {
        NANOSetUInt64Value(slot, static_cast<uint64_t>(value));
    }
}

double NANOGetDouble(NANOMessageRef message, int32_t fieldID) {
    const NANOCell* cell = accessorCell(accessorSlot(message, fieldID, "GetDouble",
                                                     kNANOFlagDouble | kNANOFlagRepeated, kNANOFlagDouble,
                                                     "a scalar DOUBLE"));
    if (!cell) {
        return 0.0;
    }
    double value = 0;
    std::memcpy(&value, &cell->bits, sizeof value);
    return value;
}

void NANOSetDouble(NANOMessageRef message, int32_t fieldID, double value) {
    if (NANOSlot* slot = accessorSlot(message, fieldID, "SetDouble", kNANOFlagDouble | kNANOFlagRepeated,
                                      kNANOFlagDouble, "a scalar DOUBLE")) {
        NANOSetDoubleValue(slot, value);
    }
}

std::optional<std::string> NANOGetString(NANOMessageRef message, int32_t fieldID) {
    NANOSlot* slot = accessorSlot(message, fieldID, "GetString", kNANOFlagString | kNANOFlagRepeated,
                                  kNANOFlagString, "a scalar STRING");
    const NANOStringRecord* record = slot ? std::get_if<NANOStringRecord>(slot) : nullptr;
    return record ? accessorText(*record) : std::nullopt;
}

namespace {

void accessorSetStringLike(NANOMessageRef message, int32_t fieldID, const plat::Value& value, NANOSlot* slot,
                           bool bytes) {
    if (value.isNull()) {
        NANOClearField(message, fieldID);
        return;
    }
    if (!std::get_if<NANOStringRecord>(slot)) {
        *slot = NANOStringRecord{};
    }
    auto& record = std::get<NANOStringRecord>(*slot);
    NANODeallocString(&record);
    // A value of another kind leaves the field present without data.
    if (bytes) {
        NANOBytesRecordFromData(value, &record);
    } else {
        NANOStringRecordFromString(value, &record);
    }
}

} // namespace

void NANOSetString(NANOMessageRef message, int32_t fieldID, const plat::Value& value) {
    if (NANOSlot* slot = accessorSlot(message, fieldID, "SetString", kNANOFlagString | kNANOFlagRepeated,
                                      kNANOFlagString, "a scalar STRING")) {
        accessorSetStringLike(message, fieldID, value, slot, false);
    }
}

void NANOSetBytes(NANOMessageRef message, int32_t fieldID, const plat::Value& value) {
    // Checked like every other setter: bytes stored into a slot of another kind would be read as that kind.
    if (NANOSlot* slot = accessorSlot(message, fieldID, "SetBytes", kNANOFlagBytes | kNANOFlagRepeated,
                                      kNANOFlagBytes, "a scalar BYTES")) {
        accessorSetStringLike(message, fieldID, value, slot, true);
    }
}

std::shared_ptr<NANOMessage> NANOGetMessage(NANOMessageRef message, int32_t fieldID, const NANOMessageClass* cls) {
    NANOSlot* slot = accessorSlot(message, fieldID, "GetMessage", kNANOFlagMessage | kNANOFlagRepeated,
                                  kNANOFlagMessage, "a scalar MESSAGE");
    auto* record = slot ? std::get_if<std::unique_ptr<MessageInfo>>(slot) : nullptr;
    if (!record || !*record) {
        return nullptr;
    }
    if (!cls || !cls->initWithMessageInfo) {
        plat::NSLog("<ERROR> Provided class doesn't implement initWithMessageInfo: method. Class: %s",
                    cls ? cls->className : nullptr);
        return nullptr;
    }
    return cls->initWithMessageInfo(record->get());
}

void NANOSetMessage(NANOMessageRef message, int32_t fieldID, const std::shared_ptr<NANOMessage>& value) {
    MessageInfo* record = nullptr;
    NANOSlot* slot = accessorSlot(message, fieldID, "SetMessage", kNANOFlagMessage | kNANOFlagRepeated,
                                  kNANOFlagMessage, "a scalar MESSAGE", &record);
    if (!slot) {
        return;
    }
    // A record of another message would be encoded through this field's descriptor: refused.
    const NANOMessageDescriptor* expected = record->descriptor->fields[fieldID].message;
    if (value && (!value->messageInfo() || !expected || value->messageInfo()->name != expected->name)) {
        plat::NSLog("<Nano/Failure> Field type isn't a scalar MESSAGE. Message: %s, field ID: %d", record->name,
                    fieldID);
        return;
    }
    message.get()->deallocMessageFieldFn(record, fieldID);
    if (!value) {
        return;
    }
    std::unique_ptr<MessageInfo> copy;
    if (value->copyMessageInfoFn(&copy, value->messageInfo())) {
        *slot = std::move(copy);
    }
}

std::optional<plat::Array> NANOGetArray(NANOMessageRef message, int32_t fieldID, const NANOMessageClass* cls) {
    NANOSlot* slot =
        accessorSlot(message, fieldID, "GetArray", kNANOFlagRepeated, kNANOFlagRepeated, "REPEATED");
    if (!slot) {
        return std::nullopt;
    }
    auto* holder = std::get_if<std::unique_ptr<NANOArrayRecord>>(slot);
    if (!holder || !*holder) {
        accessorPrint("<ERROR> Repeated field should have been allocated");
        return std::nullopt;
    }
    const NANOArrayRecord& array = **holder;
    plat::Array out;
    if (!array.elements) {
        return out;
    }
    const uint32_t flags = message.get()->messageInfo()->flags[fieldID];
    for (uint32_t i = 0; i < array.count; ++i) {
        const NANOSlot& element = array.elements[i];
        if (std::holds_alternative<std::monostate>(element)) {
            accessorPrint("<ERROR> Unable to convert NULL data to an ObjC object");
            continue;
        }
        const NANOCell* cell = std::get_if<NANOCell>(&element);
        const auto* string = std::get_if<NANOStringRecord>(&element);
        const auto* record = std::get_if<std::unique_ptr<MessageInfo>>(&element);
        if (cell && (flags & kNANOFlagBool)) {
            out.push_back(plat::Value((cell->bits & 0xff) != 0));
        } else if (cell && (flags & (kNANOFlagInt32 | kNANOFlagEnum))) {
            out.push_back(plat::Value(static_cast<int32_t>(static_cast<uint32_t>(cell->bits))));
        } else if (cell && (flags & kNANOFlagUInt32)) {
            out.push_back(plat::Value(static_cast<uint32_t>(cell->bits)));
        } else if (cell && (flags & kNANOFlagInt64)) {
            out.push_back(plat::Value(static_cast<int64_t>(cell->bits)));
        } else if (cell && (flags & kNANOFlagUInt64)) {
            out.push_back(plat::Value(cell->bits));
        } else if (cell && (flags & kNANOFlagFloat)) {
            float value = 0;
            std::memcpy(&value, &cell->bits, sizeof value);
            out.push_back(plat::Value(value));
        } else if (cell && (flags & kNANOFlagDouble)) {
            double value = 0;
            std::memcpy(&value, &cell->bits, sizeof value);
            out.push_back(plat::Value(value));
        } else if (string && (flags & kNANOFlagString)) {
            if (auto text = accessorText(*string)) {
                out.push_back(plat::Value(*text));
            }
        } else if (string && (flags & kNANOFlagBytes)) {
            const uint8_t* bytes = string->bytes.get();
            out.push_back(plat::Value(bytes ? plat::Data(bytes, bytes + string->length) : plat::Data()));
        } else if (record && *record && (flags & kNANOFlagMessage)) {
            if (!cls || !cls->initWithMessageInfo) {
                plat::NSLog("<ERROR> Provided class doesn't implement initWithMessageInfo: method. Class: %s",
                            cls ? cls->className : nullptr);
                continue;
            }
            if (auto object = cls->initWithMessageInfo(record->get())) {
                out.push_back(plat::Value(plat::rt::ObjectPtr(object)));
            }
        } else {
            accessorPrint("<ERROR> Unable to convert byte data to an ObjC object. Unknown type. %d",
                          static_cast<int>(flags));
        }
    }
    return out;
}

namespace {

// Converts one element into its slot; false after the element's line.
bool accessorSetElement(NANOSlot* slot, uint32_t flags, const NANOMessageDescriptor* elementMessage,
                        const plat::Value& value) {
    if (!slot) {
        accessorPrint("<ERROR> Unable to set NULL data to an ObjC object");
        return false;
    }
    auto refuse = [&](const char* kind, const char* expected) {
        accessorPrint("<ERROR> Invalid object type. %s fields expect %s. Type: %s", kind, expected,
                      accessorClassName(value));
        return false;
    };
    const bool number = value.isNumber();
    if (flags & kNANOFlagBool) {
        if (!number) {
            return refuse("Boolean", "NSNumber");
        }
        NANOSetBoolValue(slot, value.boolValue());
    } else if (flags & (kNANOFlagInt32 | kNANOFlagUInt32)) {
        if (!number) {
            return refuse("Int32", "NSNumber");
        }
        NANOSetUInt32Value(slot, value.unsignedIntValue());
    } else if (flags & (kNANOFlagInt64 | kNANOFlagUInt64)) {
        if (!number) {
            return refuse("Int64", "NSNumber");
        }
        NANOSetUInt64Value(slot, static_cast<uint64_t>(value.longLongValue()));
    } else if (flags & kNANOFlagFloat) {
        if (!number) {
            return refuse("Float", "NSNumber");
        }
        NANOSetFloatValue(slot, static_cast<float>(value.doubleValue()));
    } else if (flags & kNANOFlagDouble) {
        if (!number) {
            return refuse("Double", "NSNumber");
        }
        NANOSetDoubleValue(slot, value.doubleValue());
    } else if (flags & kNANOFlagEnum) {
        if (!number) {
            return refuse("Enum", "NSNumber");
        }
        NANOSetUInt32Value(slot, value.unsignedIntValue());
    } else if (flags & kNANOFlagString) {
        NANOStringRecord record;
        if (value.isNull() || !NANOStringRecordFromString(value, &record)) {
            return refuse("String", "NSString");
        }
        *slot = std::move(record);
    } else if (flags & kNANOFlagBytes) {
        NANOStringRecord record;
        if (value.isNull() || !NANOBytesRecordFromData(value, &record)) {
            return refuse("Bytes", "NSData");
        }
        *slot = std::move(record);
    } else if (flags & kNANOFlagMessage) {
        // Only a message of the field's own type: another's record would be read through the wrong table.
        const NANOMessage* object = accessorMessageObject(value);
        if (!object || !object->messageInfo() || !elementMessage ||
            object->messageInfo()->name != elementMessage->name) {
            return refuse("Message", "NANOMessageBase");
        }
        std::unique_ptr<MessageInfo> copy;
        if (!object->copyMessageInfoFn(&copy, object->messageInfo())) {
            return false;
        }
        *slot = std::move(copy);
    } else {
        accessorPrint("<ERROR> Unable to convert ObjC object to byte data. Unknown type. %d",
                      static_cast<int>(flags));
        return false;
    }
    return true;
}

} // namespace

void NANOSetArray(NANOMessageRef message, int32_t fieldID, const std::optional<plat::Array>& values) {
    MessageInfo* record = nullptr;
    NANOSlot* slot = accessorSlot(message, fieldID, "SetArray", kNANOFlagRepeated, kNANOFlagRepeated, "REPEATED",
                                  &record);
    if (!slot) {
        return;
    }
    auto* holder = std::get_if<std::unique_ptr<NANOArrayRecord>>(slot);
    if (!holder || !*holder) {
        accessorPrint("<ERROR> Repeated field should have been allocated");
        return;
    }
    message.get()->deallocMessageFieldFn(record, fieldID);
    if (!values || values->empty()) {
        return;
    }
    NANOArrayRecord& array = **holder;
    array.elements = std::make_unique<NANOSlot[]>(values->size());
    array.count = static_cast<uint32_t>(values->size());
    const uint32_t flags = record->flags[fieldID];
    const NANOMessageDescriptor* elementMessage = record->descriptor->fields[fieldID].message;
    for (std::size_t i = 0; i < values->size(); ++i) {
        if (!accessorSetElement(&array.elements[i], flags, elementMessage, (*values)[i])) {
            message.get()->deallocMessageFieldFn(record, fieldID);
            return;
        }
    }
}
