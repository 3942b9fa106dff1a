#pragma once
// Protocol-buffer messages held as records of field slots, read and written through typed accessors that
// address a field by its field ID (its position in the record, not its wire tag). One engine serves every
// message: a message is described by a NANOMessageDescriptor (name, flag word and wire tag of each slot, the
// nanopb descriptor of its generated structure), and the engine initialises, copies, releases, decodes and
// encodes records from that table alone. Adding a message takes a proto2 definition run through the nanopb
// generator (string, bytes and repeated fields as callbacks, everything else static), one slot table and a
// wrapper class deriving from NANOWrapper; see CoreLogMessages.cpp for six of them.
//
// Callers never see nanopb structures. Failures are logged and surface as empty results: a getter answers
// 0, NO, 0.0 or nil, a setter leaves the record as it was, a decode gives no object, an encode no data.

#include "platform/foundation/Value.hpp"
#include "platform/runtime/Object.hpp"
#include "platform/runtime/Runtime.hpp"

#include <pb.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// Flag word of a slot: one type bit, plus 0x02 on singular fields or 0x08 on repeated ones.
inline constexpr uint32_t kNANOFlagSingular = 0x02;
inline constexpr uint32_t kNANOFlagRepeated = 0x08;
inline constexpr uint32_t kNANOFlagBool = 0x20;
inline constexpr uint32_t kNANOFlagEnum = 0x40;
inline constexpr uint32_t kNANOFlagInt32 = 0x80;
inline constexpr uint32_t kNANOFlagUInt32 = 0x100;
inline constexpr uint32_t kNANOFlagInt64 = 0x200;
inline constexpr uint32_t kNANOFlagUInt64 = 0x400;
inline constexpr uint32_t kNANOFlagFloat = 0x800;
inline constexpr uint32_t kNANOFlagDouble = 0x1000;
inline constexpr uint32_t kNANOFlagString = 0x2000;
inline constexpr uint32_t kNANOFlagMessage = 0x4000;
inline constexpr uint32_t kNANOFlagBytes = 0x8000;

// Strings and bytes decoded from the wire are refused beyond this many bytes each.
inline constexpr std::size_t kNANOMaxDecodedFieldLength = 1048576;

struct MessageInfo;
struct NANOArrayRecord;
struct NANOMessageDescriptor;

// One scalar value. Every cell holds 64 bits; 32-bit kinds use the low half, a float the first four bytes,
// a bool the first byte.
struct NANOCell {
    uint64_t bits = 0;
};

// String or bytes. No byte buffer means present without data (such a field cannot be encoded).
struct NANOStringRecord {
    uint32_t length = 0;
    std::unique_ptr<uint8_t[]> bytes;
};

// A field's value: absent, a cell, a string record, the array record of a repeated field, or the record of a
// submessage.
using NANOSlot =
    std::variant<std::monostate, NANOCell, NANOStringRecord, std::unique_ptr<NANOArrayRecord>, std::unique_ptr<MessageInfo>>;

// A repeated field: count elements (no element array when empty); the cursor is used while decoding.
struct NANOArrayRecord {
    uint32_t cursor = 0;
    uint32_t count = 0;
    std::unique_ptr<NANOSlot[]> elements;
};

// The record behind every message object.
struct MessageInfo {
    std::unique_ptr<NANOSlot[]> slots;
    const uint32_t* flags = nullptr; // static, one per slot
    const char* name = nullptr;      // static; its address identifies the message type
    const NANOMessageDescriptor* descriptor = nullptr;
};

// What the engine knows of a field beside its flag word.
struct NANOFieldSpec {
    uint32_t tag = 0;                                // wire tag
    const NANOMessageDescriptor* message = nullptr;  // submessage or element message
    const char* name = nullptr;                      // named in the lines of repeated fields
};

struct NANOMessageDescriptor {
    const char* name = nullptr; // "LogEvent"
    uint32_t slotCount = 0;
    const uint32_t* flags = nullptr;     // slotCount words
    const NANOFieldSpec* fields = nullptr; // slotCount entries, in field-ID order
    const pb_msgdesc_t* nanopb = nullptr;
    std::size_t structSize = 0; // sizeof the generated structure
};

// Problems of a slot table against its nanopb descriptor (tags, kinds, repetition, submessages), one line
// each; empty when they agree. A mismatch corrupts values silently, so every table is checked in the tests.
std::vector<std::string> NANOCheckDescriptor(const NANOMessageDescriptor& descriptor);

// ---- record functions (the engine behind every message) ------------------------------------------------

// Sets name and flags, allocates the slots and the array records of the repeated fields. Fails for null.
bool NANOInitMessageInfo(const NANOMessageDescriptor& descriptor, MessageInfo* record);
// A fresh, initialised record.
std::unique_ptr<MessageInfo> NANOMakeMessageInfo(const NANOMessageDescriptor& descriptor);
// Frees the field's content and leaves it absent (a repeated field keeps its array record, emptied).
bool NANODeallocMessageField(MessageInfo* record, int32_t fieldID);
// Replaces *destination with a deep copy of source.
bool NANOCopyMessageInfo(std::unique_ptr<MessageInfo>* destination, const MessageInfo* source);
// Gives every repeated field with a non-zero count its element array, between the two decode passes.
bool NANOAllocateArrays(MessageInfo* record);
// Decodes one message into an initialised record; a failure leaves it partly filled.
bool NANODecodeMessageInfo(const uint8_t* bytes, std::size_t length, MessageInfo* record);
// The encoded length and a new buffer in *buffer, or -1.
int32_t NANOEncodeMessageInfo(const MessageInfo* record, std::unique_ptr<uint8_t[]>* buffer);

// ---- value setters (a null address prints its line and does nothing) -----------------------------------

void NANOSetBoolValue(NANOSlot* slot, bool value);
void NANOSetUInt32Value(NANOSlot* slot, uint32_t value);
void NANOSetUInt64Value(NANOSlot* slot, uint64_t value);
void NANOSetFloatValue(NANOSlot* slot, float value);
void NANOSetDoubleValue(NANOSlot* slot, double value);
// Copies the bytes into a new buffer with one zero byte after them.
void NANOSetStringValue(NANOSlot* slot, const uint8_t* bytes, uint32_t length);
void NANOSetBytesValue(NANOSlot* slot, const uint8_t* bytes, uint32_t length);
void NANOInitArray(NANOArrayRecord* array);
void NANODeallocString(NANOStringRecord* record);
// Null succeeds and changes nothing; another kind of value fails.
bool NANOStringRecordFromString(const plat::Value& value, NANOStringRecord* record);
bool NANOBytesRecordFromData(const plat::Value& value, NANOStringRecord* record);

// ---- nanopb callbacks (the argument is a NANOSlot* or a NANOArrayRecord*) ---------------------------------

bool NANODecodeStringCallback(pb_istream_t* stream, const pb_field_t* field, void** arg);
bool NANODecodeRepeatedStringCallback(pb_istream_t* stream, const pb_field_t* field, void** arg);
bool NANODecodeRepeatedVarintCallback(pb_istream_t* stream, const pb_field_t* field, void** arg);
bool NANOEncodeStringCallback(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);
bool NANOEncodeRepeatedStringCallback(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);
bool NANOEncodeRepeatedVarintCallback(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);

// Sizes, allocates exactly once, encodes. The length, or -1 with *buffer null.
int32_t NANOEncodeToBuffer(const pb_msgdesc_t* fields, const void* source, std::unique_ptr<uint8_t[]>* buffer);

// ---- message objects ------------------------------------------------------------------------------------

class NANOMessage;

// A wrapper class as accessors take it: its descriptor and how to make an instance from a record (a deep
// copy; none for a record of another message).
struct NANOMessageClass {
    const char* className = nullptr;
    const NANOMessageDescriptor* descriptor = nullptr;
    std::shared_ptr<NANOMessage> (*initWithMessageInfo)(const MessageInfo* info) = nullptr;
};

// The base of every wrapper class. The object owns its record.
class NANOMessage : public plat::rt::Object {
public:
    NANOMessage(plat::rt::Class* cls, const NANOMessageDescriptor& descriptor);

    const char* messageID() const { return descriptor_->name; }
    // The object's own record, not a copy.
    MessageInfo* messageInfo() const { return info_.get(); }
    const NANOMessageDescriptor& descriptor() const { return *descriptor_; }
    // The encoded message (empty for an empty message), or none when encoding fails.
    std::optional<plat::Data> protoBuffer() const;

    bool initMessageInfoFn(MessageInfo* record) const { return NANOInitMessageInfo(*descriptor_, record); }
    bool deallocMessageFieldFn(MessageInfo* record, int32_t fieldID) const {
        return NANODeallocMessageField(record, fieldID);
    }
    bool copyMessageInfoFn(std::unique_ptr<MessageInfo>* destination, const MessageInfo* source) const {
        return NANOCopyMessageInfo(destination, source);
    }

protected:
    // A fresh record for null; a deep copy of a record of this message; false otherwise.
    bool adoptMessageInfo(const MessageInfo* info);
    // Decodes into a temporary record and keeps a deep copy of it.
    bool adoptBuffer(const plat::Data& data);

private:
    const NANOMessageDescriptor* descriptor_;
    std::unique_ptr<MessageInfo> info_;
};

// Wrapper classes derive from NANOWrapper<Self> and provide `static const NANOMessageDescriptor&
// messageDescriptor()` and `static constexpr const char* kClassName`.
template <class Self> class NANOWrapper : public NANOMessage {
public:
    explicit NANOWrapper(plat::rt::Class* cls) : NANOMessage(cls, Self::messageDescriptor()) {}

    static plat::rt::Class* runtimeClass();
    static const NANOMessageClass& messageClass() {
        static const NANOMessageClass cls{Self::kClassName, &Self::messageDescriptor(),
                                          [](const MessageInfo* info) -> std::shared_ptr<NANOMessage> {
                                              return initWithMessageInfo(info);
                                          }};
        return cls;
    }
    // Null: an empty message. Otherwise a deep copy of a record of this message; none for another's.
    static std::shared_ptr<Self> initWithMessageInfo(const MessageInfo* info) {
        auto object = plat::rt::make<Self>(runtimeClass());
        return object->adoptMessageInfo(info) ? object : nullptr;
    }
    static std::shared_ptr<Self> init() { return initWithMessageInfo(nullptr); }
    // None for bytes that do not decode.
    static std::shared_ptr<Self> initWithBuffer(const plat::Data& data) {
        auto object = plat::rt::make<Self>(runtimeClass());
        return object->adoptBuffer(data) ? object : nullptr;
    }
};

template <class Self> plat::rt::Class* NANOWrapper<Self>::runtimeClass() {
    static plat::rt::Class* cls = plat::rt::registerClass<Self>(Self::kClassName);
    return cls;
}

// ---- accessors ------------------------------------------------------------------------------------------

// Accessors take a message object or null.
class NANOMessageRef {
public:
    NANOMessageRef(NANOMessage* message) : message_(message) {}
    NANOMessageRef(std::nullptr_t) {}
    template <class T> NANOMessageRef(const std::shared_ptr<T>& message) : message_(message.get()) {}
    NANOMessage* get() const { return message_; }

private:
    NANOMessage* message_ = nullptr;
};

bool NANOHasField(NANOMessageRef message, int32_t fieldID);
void NANOClearField(NANOMessageRef message, int32_t fieldID);
bool NANOGetBool(NANOMessageRef message, int32_t fieldID);
void NANOSetBool(NANOMessageRef message, int32_t fieldID, bool value);
int32_t NANOGetInt32(NANOMessageRef message, int32_t fieldID);
void NANOSetInt32(NANOMessageRef message, int32_t fieldID, int32_t value);
int64_t NANOGetInt64(NANOMessageRef message, int32_t fieldID);
void NANOSetInt64(NANOMessageRef message, int32_t fieldID, int64_t value);
double NANOGetDouble(NANOMessageRef message, int32_t fieldID);
void NANOSetDouble(NANOMessageRef message, int32_t fieldID, double value);
// None when absent, without data, or not UTF-8.
std::optional<std::string> NANOGetString(NANOMessageRef message, int32_t fieldID);
// A null value clears the field; a value that is no string leaves it present without data.
void NANOSetString(NANOMessageRef message, int32_t fieldID, const plat::Value& value);
// A null value clears the field; a value that is no data leaves it present without data.
void NANOSetBytes(NANOMessageRef message, int32_t fieldID, const plat::Value& value);
std::shared_ptr<NANOMessage> NANOGetMessage(NANOMessageRef message, int32_t fieldID, const NANOMessageClass* cls);
template <class T> std::shared_ptr<T> NANOGetMessage(NANOMessageRef message, int32_t fieldID) {
    return std::static_pointer_cast<T>(NANOGetMessage(message, fieldID, &T::messageClass()));
}
// Null leaves the field absent; a message of another type than the field's is refused.
void NANOSetMessage(NANOMessageRef message, int32_t fieldID, const std::shared_ptr<NANOMessage>& value);
// Numbers, strings, data, or message objects of `cls` (other elements are skipped). None when the field has
// no array record.
std::optional<plat::Array> NANOGetArray(NANOMessageRef message, int32_t fieldID,
                                        const NANOMessageClass* cls = nullptr);
// Replaces the whole field; none empties it. One unfit element leaves the field empty.
void NANOSetArray(NANOMessageRef message, int32_t fieldID, const std::optional<plat::Array>& values);
