#include "core/NANOMessage.hpp"

#include "platform/foundation/Console.hpp"
#include "platform/foundation/String.hpp"

#include <pb_common.h>
#include <pb_decode.h>
#include <pb_encode.h>

#include <cstdint>
#include <cstring>
#include <algorithm>
#include <limits>
#include <map>
#include <mutex>

// Messages up to this size are encoded in one pass (see protoBuffer).
constexpr std::size_t kNanoScratchEncodeBytes = 2048;

namespace {

// The layer's own diagnostics go to standard output; accessor lines go through NSLog.
// The codec's own diagnostics go to standard error: a program's standard output is its own (the console
// prints the shell's output there).
template <class... Args> void nanoPrint(std::string_view fmt, const Args&... args) {
    plat::printStandardError(plat::format(fmt, args...));
}

NANOCell* nanoCellOf(NANOSlot& slot) {
    return std::get_if<NANOCell>(&slot);
}

const NANOCell* nanoCellOf(const NANOSlot& slot) {
    return std::get_if<NANOCell>(&slot);
}

NANOStringRecord* nanoStringOf(NANOSlot& slot) {
    return std::get_if<NANOStringRecord>(&slot);
}

const NANOStringRecord* nanoStringOf(const NANOSlot& slot) {
    return std::get_if<NANOStringRecord>(&slot);
}

NANOArrayRecord* nanoArrayOf(const NANOSlot& slot) {
    auto* array = std::get_if<std::unique_ptr<NANOArrayRecord>>(&slot);
    return array ? array->get() : nullptr;
}

MessageInfo* nanoRecordOf(const NANOSlot& slot) {
    auto* record = std::get_if<std::unique_ptr<MessageInfo>>(&slot);
    return record ? record->get() : nullptr;
}

bool nanoIsPresent(const NANOSlot& slot) {
    return !std::holds_alternative<std::monostate>(slot);
}

bool nanoValidField(const MessageInfo* record, int32_t fieldID) {
    return record && record->descriptor && fieldID >= 0 &&
           static_cast<uint32_t>(fieldID) < record->descriptor->slotCount;
}

int nanoSlotForTag(const NANOMessageDescriptor& descriptor, uint32_t tag) {
    for (uint32_t i = 0; i < descriptor.slotCount; ++i) {
        if (descriptor.fields[i].tag == tag) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// One field of a generated structure, as nanopb's field iterator describes it, at a given structure.
struct NanoFieldAt {
    pb_size_t tag;
    pb_type_t type;
    void* pData;
    void* pSize;
    pb_size_t data_size;
};

// Where a field lies in its generated structure; the same for every instance of the message.
struct NanoFieldLayout {
    pb_size_t tag;
    pb_type_t type;
    std::ptrdiff_t dataOffset;
    std::ptrdiff_t sizeOffset; // -1: no presence or count member
    pb_size_t dataSize;

    NanoFieldAt at(void* message) const {
        auto* base = static_cast<char*>(message);
        return {tag, type, base + dataOffset, sizeOffset < 0 ? nullptr : base + sizeOffset, dataSize};
    }
};

// Slot of each wire tag (-1 for none) and the structure's field layout, built once per message: every encode
// and decode visits every field, and walking nanopb's descriptor each time cost more than the decoding.
class NanoSlotTable {
public:
    explicit NanoSlotTable(const NANOMessageDescriptor& descriptor) {
        buildLayout(descriptor);
        uint32_t maxTag = 0;
        for (uint32_t i = 0; i < descriptor.slotCount; ++i) {
            maxTag = std::max(maxTag, descriptor.fields[i].tag);
        }
        slots_.assign(maxTag + 1, -1);
        for (uint32_t i = 0; i < descriptor.slotCount; ++i) {
            slots_[descriptor.fields[i].tag] = static_cast<int>(i);
        }
    }
    int operator()(uint32_t tag) const { return tag < slots_.size() ? slots_[tag] : -1; }
    const std::vector<NanoFieldLayout>& layout() const { return layout_; }

    static const NanoSlotTable& of(const NANOMessageDescriptor& descriptor) {
        static std::mutex mutex;
        static std::map<const NANOMessageDescriptor*, std::unique_ptr<NanoSlotTable>> tables;
        std::lock_guard lock(mutex);
        auto& table = tables[&descriptor];
        if (!table) {
            table = std::make_unique<NanoSlotTable>(descriptor);
        }
        return *table;
    }

private:
    void buildLayout(const NANOMessageDescriptor& descriptor);

    std::vector<int> slots_;
    std::vector<NanoFieldLayout> layout_;
};

// The generated structure of a message, zeroed, in storage aligned for any of its members.
class NanoStruct {
public:
    // Generated structures hold nothing aligned beyond 8 bytes. Every byte is cleared explicitly: a
    // value-initialised array of a type with padding need not clear the padding, and nanopb reads whole
    // callback members.
    explicit NanoStruct(std::size_t size) : words_(size / sizeof(uint64_t) + 1), storage_(std::make_unique<uint64_t[]>(words_)) {
        std::memset(storage_.get(), 0, words_ * sizeof(uint64_t));
    }
    void* get() const { return storage_.get(); }

private:
    std::size_t words_;
    std::unique_ptr<uint64_t[]> storage_;
};

void NanoSlotTable::buildLayout(const NANOMessageDescriptor& descriptor) {
    if (!descriptor.nanopb) {
        return;
    }
    NanoStruct probe(descriptor.structSize);
    auto* base = static_cast<char*>(probe.get());
    pb_field_iter_t it;
    if (!pb_field_iter_begin(&it, descriptor.nanopb, base)) {
        return;
    }
    do {
        layout_.push_back({it.tag, it.type, static_cast<char*>(it.pData) - base,
                           it.pSize ? static_cast<char*>(it.pSize) - base : -1, it.data_size});
    } while (pb_field_iter_next(&it));
}

// What a callback of a repeated submessage field needs: the array and the element message.
struct NanoElementBinding {
    NANOArrayRecord* array = nullptr;
    const NANOMessageDescriptor* message = nullptr;
};

uint32_t nanoTypeBit(uint32_t flags) {
    return flags & ~(kNANOFlagSingular | kNANOFlagRepeated);
}

// ---- copying ----

bool nanoCopySlot(NANOSlot& destination, const NANOSlot& source, uint32_t flags);

bool nanoCopyElement(NANOSlot& destination, const NANOSlot& source, uint32_t typeBit) {
    if (const NANOCell* cell = nanoCellOf(source)) {
        destination = *cell;
    } else if (const NANOStringRecord* string = nanoStringOf(source)) {
        if (string->bytes) {
            NANOSetStringValue(&destination, string->bytes.get(), string->length);
        } else {
            destination = NANOStringRecord{};
        }
    } else if (MessageInfo* record = nanoRecordOf(source)) {
        std::unique_ptr<MessageInfo> copy;
        if (!NANOCopyMessageInfo(&copy, record)) {
            return false;
        }
        destination = std::move(copy);
    } else {
        (void)typeBit;
        destination = std::monostate{};
    }
    return true;
}

bool nanoCopySlot(NANOSlot& destination, const NANOSlot& source, uint32_t flags) {
    if (flags & kNANOFlagRepeated) {
        NANOArrayRecord* from = nanoArrayOf(source);
        NANOArrayRecord* to = nanoArrayOf(destination);
        if (!from || !to) {
            return true;
        }
        NANOInitArray(to);
        if (from->count == 0 || !from->elements) {
            return true;
        }
        to->elements = std::make_unique<NANOSlot[]>(from->count);
        to->count = from->count;
        for (uint32_t i = 0; i < from->count; ++i) {
            if (!nanoCopyElement(to->elements[i], from->elements[i], nanoTypeBit(flags))) {
                return false;
            }
        }
        return true;
    }
    return nanoCopyElement(destination, source, nanoTypeBit(flags));
}

// ---- encoding ----

bool nanoFillStruct(const MessageInfo& record, void* target);

bool nanoEncodeElementsCallback(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const auto* binding = static_cast<const NanoElementBinding*>(*arg);
    if (!binding || !binding->array || !binding->message) {
        return false;
    }
    const NANOArrayRecord& array = *binding->array;
    if (array.count == 0) {
        return true;
    }
    if (!array.elements) {
        return false;
    }
    for (uint32_t i = 0; i < array.count; ++i) {
        MessageInfo* element = nanoRecordOf(array.elements[i]);
        if (!element) {
            return false;
        }
        NanoStruct target(binding->message->structSize);
        if (!nanoFillStruct(*element, target.get()) || !pb_encode_tag_for_field(stream, field) ||
            !pb_encode_submessage(stream, binding->message->nanopb, target.get())) {
            return false;
        }
    }
    return true;
}

// Bindings the element callbacks point to live as long as the records they name: one per repeated
// submessage field, kept beside the record's array record.
struct NanoBindingStore {
    std::vector<std::unique_ptr<NanoElementBinding>> bindings;
    NanoElementBinding* add(NANOArrayRecord* array, const NANOMessageDescriptor* message) {
        bindings.push_back(std::make_unique<NanoElementBinding>(NanoElementBinding{array, message}));
        return bindings.back().get();
    }
};

thread_local NanoBindingStore* tNanoBindings = nullptr;

// The bytes of the decode in progress on this thread. nanopb gives the callback of a length-delimited field a
// stream over those bytes, but the callback of a field sent with any other wire type a copy of the raw value
// on its own stack, and calls it all the same: a string, bytes or message field whose stream lies outside the
// bytes was sent with the wrong wire type. (The input is a caller's live object, so nanopb's deeper stack
// frame can never lie inside it.)
struct NanoDecodeFrame {
    std::uintptr_t begin = 0;
    std::uintptr_t end = 0;
    const char* callbackError = nullptr;
};

thread_local NanoDecodeFrame tNanoDecodeFrame;

class NanoDecodeFrameScope {
public:
    NanoDecodeFrameScope(const uint8_t* bytes, std::size_t length) : previous_(tNanoDecodeFrame) {
        auto begin = reinterpret_cast<std::uintptr_t>(bytes);
        tNanoDecodeFrame = NanoDecodeFrame{begin, begin + length, nullptr};
    }
    ~NanoDecodeFrameScope() { tNanoDecodeFrame = previous_; }
    NanoDecodeFrameScope(const NanoDecodeFrameScope&) = delete;
    NanoDecodeFrameScope& operator=(const NanoDecodeFrameScope&) = delete;

private:
    NanoDecodeFrame previous_;
};

// False (and the reason kept for the decoder's line) when a callback's stream is no length-delimited field
// of the decode in progress. Outside this layer's decodes there is nothing to compare with.
bool nanoLengthDelimited(const pb_istream_t* stream) {
    NanoDecodeFrame& frame = tNanoDecodeFrame;
    if (frame.begin == 0) {
        return true;
    }
    auto at = reinterpret_cast<std::uintptr_t>(stream->state);
    if (at >= frame.begin && at <= frame.end) {
        return true;
    }
    frame.callbackError = "wrong wire type";
    return false;
}

class NanoBindingScope {
public:
    NanoBindingScope() : previous_(tNanoBindings) {
        if (!previous_) {
            tNanoBindings = &store_;
        }
    }
    ~NanoBindingScope() {
        if (!previous_) {
            tNanoBindings = nullptr;
        }
    }
    NanoBindingScope(const NanoBindingScope&) = delete;
    NanoBindingScope& operator=(const NanoBindingScope&) = delete;

private:
    NanoBindingStore* previous_;
    NanoBindingStore store_;
};

bool nanoFillStruct(const MessageInfo& record, void* target) {
    const NANOMessageDescriptor& descriptor = *record.descriptor;
    const NanoSlotTable& slotOf = NanoSlotTable::of(descriptor);
    for (const NanoFieldLayout& field : slotOf.layout()) {
        const NanoFieldAt it = field.at(target);
        if (PB_LTYPE(it.type) == PB_LTYPE_EXTENSION) {
            continue;
        }
        const int index = slotOf(it.tag);
        if (index < 0) {
            continue;
        }
        const NANOSlot& slot = record.slots[index];
        const uint32_t flags = record.flags[index];
        if (PB_ATYPE(it.type) == PB_ATYPE_CALLBACK) {
            auto* callback = static_cast<pb_callback_t*>(it.pData);
            if (flags & kNANOFlagRepeated) {
                NANOArrayRecord* array = nanoArrayOf(slot);
                if (!array) {
                    nanoPrint("<ERROR> %s Encoder: '%s' should have been allocated", descriptor.name,
                              descriptor.fields[index].name ? descriptor.fields[index].name : "");
                    return false;
                }
                if (array->count == 0) {
                    continue;
                }
                if (flags & kNANOFlagMessage) {
                    callback->funcs.encode = &nanoEncodeElementsCallback;
                    callback->arg = tNanoBindings->add(array, descriptor.fields[index].message);
                } else if (flags & (kNANOFlagString | kNANOFlagBytes)) {
                    callback->funcs.encode = &NANOEncodeRepeatedStringCallback;
                    callback->arg = array;
                } else {
                    callback->funcs.encode = &NANOEncodeRepeatedVarintCallback;
                    callback->arg = array;
                }
            } else if (nanoIsPresent(slot)) {
                callback->funcs.encode = &NANOEncodeStringCallback;
                callback->arg = const_cast<NANOSlot*>(&slot);
            }
        } else if (PB_LTYPE_IS_SUBMSG(it.type)) {
            if (MessageInfo* sub = nanoRecordOf(slot)) {
                if (it.pSize) {
                    *static_cast<bool*>(it.pSize) = true;
                }
                if (!nanoFillStruct(*sub, it.pData)) {
                    return false;
                }
            }
        } else if (const NANOCell* cell = nanoCellOf(slot)) {
            if (it.pSize) {
                *static_cast<bool*>(it.pSize) = true;
            }
            std::memcpy(it.pData, &cell->bits, std::min<std::size_t>(it.data_size, sizeof cell->bits));
        }
    }
    return true;
}

// ---- decoding ----

bool nanoDecodeElementsCallback(pb_istream_t* stream, const pb_field_t* field, void** arg) {
    (void)field;
    auto* binding = static_cast<NanoElementBinding*>(*arg);
    if (!binding || !binding->array || !binding->message) {
        nanoPrint("<ERROR> %s decoder failed: Invalid arg parameter",
                  binding && binding->message ? binding->message->name : "");
        return false;
    }
    if (!nanoLengthDelimited(stream)) {
        return false;
    }
    const char* name = binding->message->name;
    NANOArrayRecord& array = *binding->array;
    if (!array.elements) {
        if (!pb_read(stream, nullptr, stream->bytes_left)) {
            nanoPrint("<ERROR> %s decoder failed: %s\n", name, PB_GET_ERROR(stream));
            return false;
        }
        ++array.count;
        return true;
    }
    const std::size_t length = stream->bytes_left;
    auto buffer = std::make_unique<uint8_t[]>(length + 1);
    if (!pb_read(stream, buffer.get(), length)) {
        nanoPrint("<ERROR> %s decoder failed: Unable to extract buffer from stream", name);
        return false;
    }
    if (array.cursor >= array.count) {
        nanoPrint("<ERROR> %s decoder failed: Unable to decode repeated %s", name, name);
        return false;
    }
    auto element = NANOMakeMessageInfo(*binding->message);
    if (!element) {
        nanoPrint("<ERROR> %s decoder failed: Unable to initialize MessageInfo", name);
        return false;
    }
    if (!NANODecodeMessageInfo(buffer.get(), length, element.get())) {
        nanoPrint("<ERROR> %s decoder failed: Unable to decode repeated %s", name, name);
        return false;
    }
    array.elements[array.cursor++] = std::move(element);
    return true;
}

bool nanoBindDecoders(MessageInfo& record, void* target) {
    const NANOMessageDescriptor& descriptor = *record.descriptor;
    const NanoSlotTable& slotOf = NanoSlotTable::of(descriptor);
    for (const NanoFieldLayout& field : slotOf.layout()) {
        const NanoFieldAt it = field.at(target);
        if (PB_LTYPE(it.type) == PB_LTYPE_EXTENSION) {
            continue;
        }
        const int index = slotOf(it.tag);
        if (index < 0) {
            continue;
        }
        NANOSlot& slot = record.slots[index];
        const uint32_t flags = record.flags[index];
        if (PB_ATYPE(it.type) == PB_ATYPE_CALLBACK) {
            auto* callback = static_cast<pb_callback_t*>(it.pData);
            if (flags & kNANOFlagRepeated) {
                NANOArrayRecord* array = nanoArrayOf(slot);
                if (!array) {
                    return false;
                }
                NANODeallocMessageField(&record, index);
                if (flags & kNANOFlagMessage) {
                    callback->funcs.decode = &nanoDecodeElementsCallback;
                    callback->arg = tNanoBindings->add(array, descriptor.fields[index].message);
                } else if (flags & (kNANOFlagString | kNANOFlagBytes)) {
                    callback->funcs.decode = &NANODecodeRepeatedStringCallback;
                    callback->arg = array;
                } else {
                    callback->funcs.decode = &NANODecodeRepeatedVarintCallback;
                    callback->arg = array;
                }
            } else {
                callback->funcs.decode = &NANODecodeStringCallback;
                callback->arg = &slot;
            }
        } else if (PB_LTYPE_IS_SUBMSG(it.type)) {
            const NANOMessageDescriptor* sub = descriptor.fields[index].message;
            if (!sub) {
                return false;
            }
            NANODeallocMessageField(&record, index);
            auto subRecord = NANOMakeMessageInfo(*sub);
            if (!subRecord || !nanoBindDecoders(*subRecord, it.pData)) {
                return false;
            }
            slot = std::move(subRecord);
        }
    }
    return true;
}

void nanoCopyStatics(MessageInfo& record, void* source) {
    const NANOMessageDescriptor& descriptor = *record.descriptor;
    const NanoSlotTable& slotOf = NanoSlotTable::of(descriptor);
    for (const NanoFieldLayout& field : slotOf.layout()) {
        const NanoFieldAt it = field.at(source);
        if (PB_ATYPE(it.type) != PB_ATYPE_STATIC || PB_LTYPE(it.type) == PB_LTYPE_EXTENSION) {
            continue;
        }
        const int index = slotOf(it.tag);
        if (index < 0) {
            continue;
        }
        NANOSlot& slot = record.slots[index];
        const bool present = !it.pSize || *static_cast<const bool*>(it.pSize);
        if (PB_LTYPE_IS_SUBMSG(it.type)) {
            MessageInfo* sub = nanoRecordOf(slot);
            if (present && sub) {
                nanoCopyStatics(*sub, it.pData);
            } else {
                slot = std::monostate{};
            }
            continue;
        }
        if (!present) {
            continue;
        }
        // The cell takes the field's value as the structure holds it; signed 32-bit values and bools are
        // read back through their own width, so no extension is needed.
        NANOCell cell;
        std::memcpy(&cell.bits, it.pData, std::min<std::size_t>(it.data_size, sizeof cell.bits));
        slot = cell;
    }
}

// Repeated fields of the message or of a singular submessage (held inside the parent's structure and decoded
// in the parent's passes) need the counting pass and the filling pass.
bool nanoHasRepeated(const NANOMessageDescriptor& descriptor) {
    for (uint32_t i = 0; i < descriptor.slotCount; ++i) {
        if (descriptor.flags[i] & kNANOFlagRepeated) {
            return true;
        }
        if ((descriptor.flags[i] & kNANOFlagMessage) && descriptor.fields[i].message &&
            nanoHasRepeated(*descriptor.fields[i].message)) {
            return true;
        }
    }
    return false;
}

bool nanoDecodeInto(const uint8_t* bytes, std::size_t length, MessageInfo& record) {
    const NANOMessageDescriptor& descriptor = *record.descriptor;
    NanoStruct target(descriptor.structSize);
    if (!nanoBindDecoders(record, target.get())) {
        nanoPrint("<ERROR> %s decoder failed: Unable to set decoders", descriptor.name);
        return false;
    }
    NanoDecodeFrameScope frame(bytes, length);
    pb_istream_t stream = pb_istream_from_buffer(bytes, length);
    bool ok = pb_decode(&stream, descriptor.nanopb, target.get());
    if (ok && nanoHasRepeated(descriptor)) {
        if (!NANOAllocateArrays(&record)) {
            nanoPrint("<ERROR> %s decoder failed: Unable to allocate arrays", descriptor.name);
            return false;
        }
        stream = pb_istream_from_buffer(bytes, length);
        ok = pb_decode(&stream, descriptor.nanopb, target.get());
    }
    if (!ok) {
        const char* why = stream.errmsg ? stream.errmsg : tNanoDecodeFrame.callbackError;
        nanoPrint("<ERROR> %s decoder failed: %s\n", descriptor.name, why ? why : "(none)");
        return false;
    }
    nanoCopyStatics(record, target.get());
    return true;
}

// ---- descriptor check ----

bool nanoKindMatches(uint32_t flags, pb_type_t type, pb_size_t dataSize) {
    const bool repeated = flags & kNANOFlagRepeated;
    if (repeated != (PB_HTYPE(type) == PB_HTYPE_REPEATED)) {
        return false;
    }
    const pb_type_t ltype = PB_LTYPE(type);
    const bool callback = PB_ATYPE(type) == PB_ATYPE_CALLBACK;
    switch (nanoTypeBit(flags)) {
    case kNANOFlagBool:
        return ltype == PB_LTYPE_BOOL && (repeated ? callback : dataSize == 1);
    case kNANOFlagEnum:
    case kNANOFlagInt32:
    case kNANOFlagUInt32:
        return (ltype == PB_LTYPE_VARINT || ltype == PB_LTYPE_UVARINT || ltype == PB_LTYPE_SVARINT) &&
               (repeated ? callback : dataSize == 4);
    case kNANOFlagInt64:
    case kNANOFlagUInt64:
        return (ltype == PB_LTYPE_VARINT || ltype == PB_LTYPE_UVARINT || ltype == PB_LTYPE_SVARINT) &&
               (repeated ? callback : dataSize == 8);
    case kNANOFlagFloat:
        return ltype == PB_LTYPE_FIXED32 && (repeated ? callback : dataSize == 4);
    case kNANOFlagDouble:
        return ltype == PB_LTYPE_FIXED64 && (repeated ? callback : dataSize == 8);
    case kNANOFlagString:
        return ltype == PB_LTYPE_STRING && callback;
    case kNANOFlagBytes:
        return ltype == PB_LTYPE_BYTES && callback;
    case kNANOFlagMessage:
        return PB_LTYPE_IS_SUBMSG(type) && repeated == callback;
    default:
        return false;
    }
}

constexpr uint32_t kNanoTypeBits = kNANOFlagBool | kNANOFlagEnum | kNANOFlagInt32 | kNANOFlagUInt32 |
                                   kNANOFlagInt64 | kNANOFlagUInt64 | kNANOFlagFloat | kNANOFlagDouble |
                                   kNANOFlagString | kNANOFlagMessage | kNANOFlagBytes;

} // namespace

std::vector<std::string> NANOCheckDescriptor(const NANOMessageDescriptor& descriptor) {
    std::vector<std::string> problems;
    auto problem = [&](std::string text) { problems.push_back(std::string(descriptor.name) + ": " + text); };
    if (!descriptor.nanopb || !descriptor.flags || !descriptor.fields) {
        problem("incomplete descriptor");
        return problems;
    }
    NanoStruct target(descriptor.structSize);
    std::vector<bool> seen(descriptor.slotCount, false);
    pb_field_iter_t it;
    if (pb_field_iter_begin(&it, descriptor.nanopb, target.get())) {
        do {
            if (PB_LTYPE(it.type) == PB_LTYPE_EXTENSION) {
                continue;
            }
            const int index = nanoSlotForTag(descriptor, it.tag);
            if (index < 0) {
                problem("no slot for tag " + std::to_string(it.tag));
                continue;
            }
            if (seen[index]) {
                problem("two fields for slot " + std::to_string(index));
            }
            seen[index] = true;
            const uint32_t flags = descriptor.flags[index];
            if (!nanoKindMatches(flags, it.type, it.data_size)) {
                problem("slot " + std::to_string(index) + " (tag " + std::to_string(it.tag) +
                        ") has flags that do not fit the field's kind");
            }
            if (PB_LTYPE_IS_SUBMSG(it.type)) {
                const NANOMessageDescriptor* sub = descriptor.fields[index].message;
                if (!sub || sub->nanopb != it.submsg_desc) {
                    problem("slot " + std::to_string(index) + " names another submessage than the field");
                }
            }
        } while (pb_field_iter_next(&it));
    }
    for (uint32_t i = 0; i < descriptor.slotCount; ++i) {
        const uint32_t typeBit = nanoTypeBit(descriptor.flags[i]);
        if (!seen[i]) {
            problem("slot " + std::to_string(i) + " has no field");
        }
        if ((typeBit & kNanoTypeBits) != typeBit || (typeBit & (typeBit - 1)) != 0) {
            problem("slot " + std::to_string(i) + " needs exactly one type bit");
        }
    }
    return problems;
}

// ---- record functions ---------------------------------------------------------------------------------

bool NANOInitMessageInfo(const NANOMessageDescriptor& descriptor, MessageInfo* record) {
    if (!record) {
        return false;
    }
    record->name = descriptor.name;
    record->flags = descriptor.flags;
    record->descriptor = &descriptor;
    record->slots = std::make_unique<NANOSlot[]>(descriptor.slotCount);
    for (uint32_t i = 0; i < descriptor.slotCount; ++i) {
        if (descriptor.flags[i] & kNANOFlagRepeated) {
            record->slots[i] = std::make_unique<NANOArrayRecord>();
        }
    }
    return true;
}

std::unique_ptr<MessageInfo> NANOMakeMessageInfo(const NANOMessageDescriptor& descriptor) {
    auto record = std::make_unique<MessageInfo>();
    return NANOInitMessageInfo(descriptor, record.get()) ? std::move(record) : nullptr;
}

bool NANODeallocMessageField(MessageInfo* record, int32_t fieldID) {
    if (!record || !record->slots) {
        return false;
    }
    if (!nanoValidField(record, fieldID)) {
        nanoPrint("<ERROR> %s: Cannot deallocate field %d: Unknown field\n", record->name ? record->name : "",
                  fieldID);
        return false;
    }
    NANOSlot& slot = record->slots[fieldID];
    if (record->flags[fieldID] & kNANOFlagRepeated) {
        if (NANOArrayRecord* array = nanoArrayOf(slot)) {
            NANOInitArray(array);
        }
        return true;
    }
    slot = std::monostate{};
    return true;
}

bool NANOCopyMessageInfo(std::unique_ptr<MessageInfo>* destination, const MessageInfo* source) {
    if (!destination || !source || !source->descriptor || !source->slots) {
        return false;
    }
    auto copy = NANOMakeMessageInfo(*source->descriptor);
    if (!copy) {
        return false;
    }
    for (uint32_t i = 0; i < source->descriptor->slotCount; ++i) {
        if (!nanoCopySlot(copy->slots[i], source->slots[i], source->flags[i])) {
            return false;
        }
    }
    *destination = std::move(copy);
    return true;
}

bool NANOAllocateArrays(MessageInfo* record) {
    if (!record || !record->slots) {
        return false;
    }
    const NANOMessageDescriptor& descriptor = *record->descriptor;
    for (uint32_t i = 0; i < descriptor.slotCount; ++i) {
        if (!(descriptor.flags[i] & kNANOFlagRepeated)) {
            // Singular submessages created for decoding are filled in the parent's passes.
            MessageInfo* sub = nanoRecordOf(record->slots[i]);
            if (sub && !NANOAllocateArrays(sub)) {
                return false;
            }
            continue;
        }
        NANOArrayRecord* array = nanoArrayOf(record->slots[i]);
        if (!array) {
            nanoPrint("<ERROR> Cannot allocate %s arrays. Missing params field (%s)", descriptor.name,
                      descriptor.fields[i].name ? descriptor.fields[i].name : "");
            return false;
        }
        if (array->count != 0) {
            array->elements = std::make_unique<NANOSlot[]>(array->count);
        }
        array->cursor = 0;
    }
    return true;
}

bool NANODecodeMessageInfo(const uint8_t* bytes, std::size_t length, MessageInfo* record) {
    if (!record || !record->descriptor || !record->slots) {
        nanoPrint("<ERROR> %s decoder failed: message_info is NULL",
                  record && record->name ? record->name : "(null)");
        return false;
    }
    NanoBindingScope scope;
    return nanoDecodeInto(bytes ? bytes : reinterpret_cast<const uint8_t*>(""), length, *record);
}

int32_t NANOEncodeMessageInfo(const MessageInfo* record, std::unique_ptr<uint8_t[]>* buffer) {
    if (!buffer || !record || !record->descriptor || !record->slots) {
        return -1;
    }
    NanoBindingScope scope;
    NanoStruct target(record->descriptor->structSize);
    if (!nanoFillStruct(*record, target.get())) {
        return -1;
    }
    return NANOEncodeToBuffer(record->descriptor->nanopb, target.get(), buffer);
}

int32_t NANOEncodeToBuffer(const pb_msgdesc_t* fields, const void* source, std::unique_ptr<uint8_t[]>* buffer) {
    if (!buffer) {
        return -1;
    }
    buffer->reset();
    std::size_t size = 0;
    if (!fields || !source || !pb_get_encoded_size(&size, fields, source) ||
        size > static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) {
        return -1;
    }
    auto out = std::make_unique<uint8_t[]>(size == 0 ? 1 : size);
    pb_ostream_t stream = pb_ostream_from_buffer(out.get(), size);
    if (!pb_encode(&stream, fields, source)) {
        return -1;
    }
    *buffer = std::move(out);
    return static_cast<int32_t>(stream.bytes_written);
}

// ---- value setters ------------------------------------------------------------------------------------

namespace {

NANOCell& nanoCellFor(NANOSlot& slot) {
    if (!nanoCellOf(slot)) {
        slot = NANOCell{};
    }
    return *nanoCellOf(slot);
}

NANOStringRecord& nanoStringFor(NANOSlot& slot) {
    if (!nanoStringOf(slot)) {
        slot = NANOStringRecord{};
    }
    return *nanoStringOf(slot);
}

} // namespace

void NANOSetBoolValue(NANOSlot* slot, bool value) {
    if (!slot) {
        nanoPrint("<ERROR> Unable to set bool. Destination pointer is NULL");
        return;
    }
    nanoCellFor(*slot).bits = value ? 1 : 0;
}

void NANOSetUInt32Value(NANOSlot* slot, uint32_t value) {
    if (!slot) {
        nanoPrint("<ERROR> Unable to set uint32. Destination pointer is NULL");
        return;
    }
    nanoCellFor(*slot).bits = value;
}

void NANOSetUInt64Value(NANOSlot* slot, uint64_t value) {
    if (!slot) {
        nanoPrint("<ERROR> Unable to set uint64. Destination pointer is NULL");
        return;
    }
    nanoCellFor(*slot).bits = value;
}

void NANOSetFloatValue(NANOSlot* slot, float value) {
    if (!slot) {
        nanoPrint("<ERROR> Unable to set float. Destination pointer is NULL");
        return;
    }
    NANOCell& cell = nanoCellFor(*slot);
    cell.bits = 0;
    std::memcpy(&cell.bits, &value, sizeof value);
}

void NANOSetDoubleValue(NANOSlot* slot, double value) {
    if (!slot) {
        nanoPrint("<ERROR> Unable to set double. Destination pointer is NULL");
        return;
    }
    std::memcpy(&nanoCellFor(*slot).bits, &value, sizeof value);
}

void NANOSetStringValue(NANOSlot* slot, const uint8_t* bytes, uint32_t length) {
    if (!slot) {
        nanoPrint("<ERROR> Unable to set string. Destination array is NULL");
        return;
    }
    NANOStringRecord& record = nanoStringFor(*slot);
    NANODeallocString(&record);
    record.bytes = std::make_unique<uint8_t[]>(std::size_t(length) + 1);
    if (length) {
        std::memcpy(record.bytes.get(), bytes, length);
    }
    record.length = length;
}

void NANOSetBytesValue(NANOSlot* slot, const uint8_t* bytes, uint32_t length) {
    NANOSetStringValue(slot, bytes, length);
}

void NANOInitArray(NANOArrayRecord* array) {
    if (!array) {
        nanoPrint("<ERROR> Unable to initialize the array. Array pointer is NULL");
        return;
    }
    array->elements.reset();
    array->cursor = 0;
    array->count = 0;
}

void NANODeallocString(NANOStringRecord* record) {
    if (!record) {
        nanoPrint("<ERROR> Unable to dealloc string field. String struct is NULL");
        return;
    }
    record->bytes.reset();
    record->length = 0;
}

namespace {

bool nanoRecordFromBytes(const void* bytes, std::size_t length, NANOStringRecord* record) {
    if (!record || length > std::numeric_limits<uint32_t>::max()) {
        return false;
    }
    record->bytes = std::make_unique<uint8_t[]>(length == 0 ? 1 : length);
    if (length) {
        std::memcpy(record->bytes.get(), bytes, length);
    }
    record->length = static_cast<uint32_t>(length);
    return true;
}

} // namespace

bool NANOStringRecordFromString(const plat::Value& value, NANOStringRecord* record) {
    if (value.isNull()) {
        return true;
    }
    const std::string* text = value.ifString();
    return text && nanoRecordFromBytes(text->data(), text->size(), record);
}

bool NANOBytesRecordFromData(const plat::Value& value, NANOStringRecord* record) {
    if (value.isNull()) {
        return true;
    }
    const plat::Data* data = value.ifData();
    return data && nanoRecordFromBytes(data->data(), data->size(), record);
}

// ---- callbacks ----------------------------------------------------------------------------------------

bool NANODecodeStringCallback(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto* slot = static_cast<NANOSlot*>(*arg);
    if (!slot || !nanoLengthDelimited(stream)) {
        return false;
    }
    if (NANOStringRecord* existing = nanoStringOf(*slot)) {
        if (!existing->bytes) {
            nanoPrint("<ERROR> String decoder failed: string data is NULL");
            return false;
        }
        // Read in the first pass already.
        return pb_read(stream, nullptr, stream->bytes_left);
    }
    NANOStringRecord& record = nanoStringFor(*slot);
    const std::size_t length = stream->bytes_left;
    if (length > kNANOMaxDecodedFieldLength) {
        nanoPrint("Unable to process proto stream. Buffer is too big. %zu > %d", length,
                  static_cast<int>(kNANOMaxDecodedFieldLength));
        return false;
    }
    record.bytes = std::make_unique<uint8_t[]>(length == 0 ? 1 : length);
    record.length = static_cast<uint32_t>(length);
    if (!pb_read(stream, record.bytes.get(), length)) {
        NANODeallocString(&record);
        return false;
    }
    return true;
}

bool NANODecodeRepeatedStringCallback(pb_istream_t* stream, const pb_field_t* field, void** arg) {
    auto* array = static_cast<NANOArrayRecord*>(*arg);
    if (!array || !nanoLengthDelimited(stream)) {
        return false;
    }
    if (!array->elements) {
        if (stream->bytes_left > kNANOMaxDecodedFieldLength) {
            nanoPrint("Unable to process proto stream. Buffer is too big. %zu > %d", stream->bytes_left,
                      static_cast<int>(kNANOMaxDecodedFieldLength));
            return false;
        }
        ++array->count;
        return pb_read(stream, nullptr, stream->bytes_left);
    }
    if (array->cursor >= array->count) {
        return false;
    }
    void* element = &array->elements[array->cursor++];
    return NANODecodeStringCallback(stream, field, &element);
}

bool NANODecodeRepeatedVarintCallback(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto* array = static_cast<NANOArrayRecord*>(*arg);
    uint64_t value = 0;
    if (!array || !pb_decode_varint(stream, &value)) {
        return false;
    }
    if (!array->elements) {
        ++array->count;
        return true;
    }
    if (array->cursor >= array->count) {
        return false;
    }
    array->elements[array->cursor++] = NANOCell{value};
    return true;
}

bool NANOEncodeStringCallback(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const auto* slot = static_cast<const NANOSlot*>(*arg);
    const NANOStringRecord* record = slot ? nanoStringOf(*slot) : nullptr;
    if (!record || !record->bytes) {
        return false;
    }
    return pb_encode_tag_for_field(stream, field) && pb_encode_string(stream, record->bytes.get(), record->length);
}

bool NANOEncodeRepeatedStringCallback(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const auto* array = static_cast<const NANOArrayRecord*>(*arg);
    if (!array) {
        return false;
    }
    if (array->count == 0) {
        return true;
    }
    if (!array->elements) {
        return false;
    }
    for (uint32_t i = 0; i < array->count; ++i) {
        void* element = &array->elements[i];
        if (!NANOEncodeStringCallback(stream, field, &element)) {
            return false;
        }
    }
    return true;
}

bool NANOEncodeRepeatedVarintCallback(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const auto* array = static_cast<const NANOArrayRecord*>(*arg);
    if (!array) {
        return false;
    }
    if (array->count == 0) {
        return true;
    }
    if (!array->elements) {
        return false;
    }
    for (uint32_t i = 0; i < array->count; ++i) {
        const NANOCell* cell = nanoCellOf(array->elements[i]);
        if (!cell || !pb_encode_tag_for_field(stream, field) || !pb_encode_varint(stream, cell->bits)) {
            return false;
        }
    }
    return true;
}

// ---- message objects ----------------------------------------------------------------------------------

NANOMessage::NANOMessage(plat::rt::Class* cls, const NANOMessageDescriptor& descriptor)
    : plat::rt::Object(cls), descriptor_(&descriptor) {}

bool NANOMessage::adoptMessageInfo(const MessageInfo* info) {
    if (!info) {
        info_ = NANOMakeMessageInfo(*descriptor_);
        return info_ != nullptr;
    }
    if (info->name != descriptor_->name) {
        return false;
    }
    return NANOCopyMessageInfo(&info_, info);
}

bool NANOMessage::adoptBuffer(const plat::Data& data) {
    auto decoded = NANOMakeMessageInfo(*descriptor_);
    if (!decoded || !NANODecodeMessageInfo(data.data(), data.size(), decoded.get())) {
        return false;
    }
    // Nobody else holds the freshly decoded record: it becomes the object's own instead of being copied.
    info_ = std::move(decoded);
    return true;
}

std::optional<plat::Data> NANOMessage::protoBuffer() const {
    if (!info_) {
        return std::nullopt;
    }
    NanoBindingScope scope;
    NanoStruct target(descriptor_->structSize);
    if (!nanoFillStruct(*info_, target.get())) {
        return std::nullopt;
    }
    // A small message (an event, a bundle header, a setting) is written in one pass into scratch space and
    // copied out: sizing it first would walk it twice. One that does not fit stops at the first write past the
    // scratch space and is sized and written as below.
    {
        pb_byte_t scratch[kNanoScratchEncodeBytes];
        pb_ostream_t quick = pb_ostream_from_buffer(scratch, sizeof scratch);
        if (pb_encode(&quick, descriptor_->nanopb, target.get())) {
            return plat::Data(scratch, scratch + quick.bytes_written);
        }
    }
    // Encoded straight into the data object: one allocation of the exact size, no copy.
    std::size_t size = 0;
    if (!pb_get_encoded_size(&size, descriptor_->nanopb, target.get()) ||
        size > static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) {
        return std::nullopt;
    }
    plat::Data out(size);
    pb_ostream_t stream = pb_ostream_from_buffer(out.data(), out.size());
    if (!pb_encode(&stream, descriptor_->nanopb, target.get())) {
        return std::nullopt;
    }
    out.resize(stream.bytes_written);
    return out;
}
