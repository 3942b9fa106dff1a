#include "crash/capture/VZRBinaryImage.hpp"

#include "crash/capture/VZRContext.hpp"
#include "crash/capture/VZRFile.hpp"
#include "crash/capture/VZRSDKLog.hpp"
#include "crash/capture/VZRUtilities.hpp"

#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/Loader.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/ProcessImage.hpp"

#include <elf.h>
#include <link.h>
#include <unistd.h>

#include <atomic>
#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace {

constexpr double kBinaryImageRescanInterval = 5.0;

// Healthy-process state of the list: the images known from the last scan (by base address), the record
// writer (used only on the binary-images queue), and the loader counters of the last periodic check.
struct BinaryImageState {
    std::mutex mutex;
    std::map<uintptr_t, VZRBinaryImageDetails> known;
    VZRBinaryImageLoaderScan fakeLoader;
    unsigned long long adds = 0;
    unsigned long long subs = 0;
    uint64_t generation = 0; // a new initialisation stops the periodic check of the previous one
    bool listening = false;  // to the loader wrappers, once per process
};

BinaryImageState& imageState() {
    static plat::NeverDestroyed<BinaryImageState> instance;
    return instance.get();
}

VZRFile& imageFile() {
    static VZRFile file;
    return file;
}

// ---- ELF -------------------------------------------------------------------------------------------------

struct ElfNotes {
    const uint8_t* buildId = nullptr;
    size_t buildIdSize = 0;
    const uint32_t* abiTag = nullptr; // os, major, minor, subminor
};

size_t noteAlign(size_t n) {
    return (n + 3) & ~size_t{3};
}

void readNotes(const uint8_t* notes, size_t size, ElfNotes* out) {
    size_t at = 0;
    while (at + sizeof(ElfW(Nhdr)) <= size) {
        ElfW(Nhdr) header;
        std::memcpy(&header, notes + at, sizeof header);
        const size_t nameAt = at + sizeof header;
        const size_t descAt = nameAt + noteAlign(header.n_namesz);
        if (descAt > size || header.n_descsz > size - descAt)
            return;
        const bool gnu = header.n_namesz == 4 && std::memcmp(notes + nameAt, "GNU", 4) == 0;
        if (gnu && header.n_type == NT_GNU_BUILD_ID && !out->buildId) {
            out->buildId = notes + descAt;
            out->buildIdSize = header.n_descsz;
        } else if (gnu && header.n_type == NT_GNU_ABI_TAG && header.n_descsz >= 16 && !out->abiTag) {
            out->abiTag = reinterpret_cast<const uint32_t*>(notes + descAt);
        }
        at = descAt + noteAlign(header.n_descsz);
    }
}

uint32_t offsetFrom(uintptr_t base, uintptr_t address) {
    if (address == 0 || address <= base || address - base > UINT32_MAX)
        return 0;
    return static_cast<uint32_t>(address - base);
}

// The ".eh_frame" address that an ".eh_frame_hdr" names (pc-relative or absolute pointer).
uintptr_t ehFrameFromHeader(uintptr_t header) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(header);
    if (bytes[0] != 1)
        return 0;
    const uint8_t encoding = bytes[1];
    const uint8_t* field = bytes + 4;
    if (encoding == 0x1B) {
        int32_t value = 0;
        std::memcpy(&value, field, sizeof value);
        return reinterpret_cast<uintptr_t>(field) + static_cast<intptr_t>(value);
    }
    if (encoding == 0x03) {
        uint32_t value = 0;
        std::memcpy(&value, field, sizeof value);
        return value;
    }
    if (encoding == 0x00 || encoding == 0x04) {
        uint64_t value = 0;
        std::memcpy(&value, field, sizeof value);
        return static_cast<uintptr_t>(value);
    }
    return 0;
}

// The entry count of a header laid out as linkers write it (version 1, pc-relative 4-byte pointer, 4-byte
// count, table of 4-byte data-relative pairs); 0 for any other layout.
uint32_t ehFrameHdrCountOf(uintptr_t header) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(header);
    if (bytes[0] != 1 || bytes[1] != 0x1B || bytes[2] != 0x03 || bytes[3] != 0x3B)
        return 0;
    uint32_t count = 0;
    std::memcpy(&count, bytes + 8, sizeof count);
    return count;
}

// The slices of each node's image, by node index; plain data that crash-time code reads without locks.
constinit VZRBinaryImagePivots binaryImagePivotsBySlot[kVZRBinaryImageNodeCount];
// The slot index took the node's padding: the 512 nodes still fit the writable context.
static_assert(sizeof(VZRBinaryImageNode) == 40);

// Where the FDE record at `fde` ends and which CIE it names, when both lie in [frameStart, frameEnd).
bool fdeRecordBounds(uintptr_t fde, uintptr_t frameStart, uintptr_t frameEnd, uintptr_t* end, uintptr_t* cie) {
    if (fde < frameStart || fde >= frameEnd || frameEnd - fde < 8)
        return false;
    uint32_t length = 0;
    uint32_t ciePointer = 0;
    std::memcpy(&length, reinterpret_cast<const void*>(fde), sizeof length);
    std::memcpy(&ciePointer, reinterpret_cast<const void*>(fde + 4), sizeof ciePointer);
    // A 64-bit length is legal but no linker of this system writes one; it is simply not described.
    if (length == 0 || length == 0xFFFFFFFFu || length > frameEnd - fde - 4 || ciePointer == 0 ||
        ciePointer > fde + 4 - frameStart)
        return false;
    *end = fde + 4 + length;
    *cie = fde + 4 - ciePointer;
    return true;
}

// The address of the pointer that a CIE's indirectly encoded personality routine is read from; 0 when the
// CIE has none, or it cannot be read within [frameStart, frameEnd).
uintptr_t ciePersonalitySlot(uintptr_t cie, uintptr_t frameStart, uintptr_t frameEnd) {
    if (cie < frameStart || cie >= frameEnd || frameEnd - cie < 8)
        return 0;
    uint32_t length = 0;
    std::memcpy(&length, reinterpret_cast<const void*>(cie), sizeof length);
    if (length == 0xFFFFFFFFu || length > frameEnd - cie - 4)
        return 0;
    const auto* at = reinterpret_cast<const uint8_t*>(cie + 8);
    const auto* end = reinterpret_cast<const uint8_t*>(cie + 4 + length);
    const auto leb = [&at, end] {
        while (at < end && (*at & 0x80))
            ++at;
        return at++ < end;
    };
    if (at >= end || (*at != 1 && *at != 3))
        return 0;
    const bool version1 = *at++ == 1;
    const char* augmentation = reinterpret_cast<const char*>(at);
    while (at < end && *at)
        ++at;
    if (at++ >= end || augmentation[0] != 'z' || !leb() || !leb() || (version1 ? at++ >= end : !leb()) || !leb())
        return 0;
    for (const char* letter = augmentation + 1; *letter && at < end; ++letter) {
        if (*letter == 'L' || *letter == 'R') {
            ++at;
        } else if (*letter == 'P') {
            const uint8_t encoding = *at++;
            const size_t size = (encoding & 0x0F) == 0x03 || (encoding & 0x0F) == 0x0B ? 4
                                : (encoding & 0x0F) == 0x00 || (encoding & 0x0F) == 0x04 ? 8
                                                                                           : 0;
            if (!(encoding & 0x80) || size == 0 || static_cast<size_t>(end - at) < size ||
                ((encoding & 0x70) != 0x00 && (encoding & 0x70) != 0x10))
                return 0;
            uintptr_t value = 0;
            if (size == 4) {
                int32_t v = 0;
                std::memcpy(&v, at, size);
                value = (encoding & 0x0F) == 0x0B ? static_cast<uintptr_t>(static_cast<intptr_t>(v))
                                                  : static_cast<uint32_t>(v);
            } else {
                std::memcpy(&value, at, size);
            }
            return (encoding & 0x70) == 0x10 ? reinterpret_cast<uintptr_t>(at) + value : value;
        } else if (*letter != 'S') {
            return 0;
        }
    }
    return 0;
}

// `address` - `header` when it fits the table's 32-bit offsets, else 0 (not known).
int32_t headerOffsetOf(uintptr_t header, uintptr_t address) {
    const auto offset = static_cast<intptr_t>(address - header);
    return offset >= INT32_MIN && offset <= INT32_MAX ? static_cast<int32_t>(offset) : 0;
}

const char* elfArchitecture(uint16_t machine) {
    switch (machine) {
    case EM_X86_64:
        return "x86_64";
    case EM_AARCH64:
        return "arm64";
    case EM_386:
        return "i386";
    default:
        return "unknown";
    }
}

// ---- records ---------------------------------------------------------------------------------------------

bool openIfNeeded(VZRFile& file, const char* path) {
    if (VZRFileIsOpen(&file))
        return false;
    if (!VZRFileInitWithPath(&file, path, false)) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: unable to open binary image log file\n", VZR_HERE);
        return false;
    }
    return true;
}

void writeBundleFields(VZRFile* file, const std::string& path) {
    if (path.rfind("/System", 0) == 0 || path.find(".framework") == std::string::npos)
        return;
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return;
    const plat::Bundle bundle(path.substr(0, slash));
    if (!bundle.infoDictionary())
        return;
    VZRFileWriteNSStringField(file, "bundle_id", bundle.bundleIdentifier().value_or(""));
    VZRFileWriteNSStringField(file, "build_version", bundle.version().value_or(""));
    VZRFileWriteNSStringField(file, "display_version", bundle.shortVersionString().value_or(""));
}

void recordSlice(const VZRBinaryImageDetails& details, bool load) {
    VZRReadOnlyContext* readonly = VZRSharedContext().readonly.load();
    if (!VZRIsValidPointer(readonly))
        return;
    VZRFile& file = imageFile();
    const bool opened = openIfNeeded(file, readonly->binaryImagesPath);
    if (!VZRFileIsOpen(&file))
        return;
    VZRFileBeginSection(&file, load ? "load" : "unload");
    VZRFileBeginObject(&file);
    VZRFileWriteStringField(&file, "path", details.path.c_str());
    if (load)
        writeBundleFields(&file, details.path);
    VZRFileWriteStringField(&file, "uuid", details.uuid);
    VZRFileWriteUnsignedField(&file, "base", details.loadAddress);
    VZRFileWriteUnsignedField(&file, "size", details.textSize);
    VZRFileEndObject(&file);
    VZRFileEndSection(&file);
    if (opened)
        VZRFileClose(&file);
}

void queueRecord(const VZRBinaryImageDetails& details, bool load) {
    plat::DispatchQueuePtr queue = VZRContextBinaryImagesQueue();
    if (!queue)
        return;
    queue->async([details, load] { recordSlice(details, load); });
}

VZRBinaryImageNode* writableNodes() {
    VZRWritableContext* writable = VZRSharedContext().writable.load();
    if (!VZRIsValidPointer(writable)) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: Writable context is NULL\n", VZR_HERE);
        return nullptr;
    }
    return writable->binaryImages;
}

std::vector<VZRBinaryImageDetails> scanLoader(unsigned long long* adds, unsigned long long* subs) {
    {
        BinaryImageState& s = imageState();
        std::lock_guard lock(s.mutex);
        if (s.fakeLoader)
            return s.fakeLoader();
    }
    struct Scan {
        std::vector<VZRBinaryImageDetails> images;
        unsigned long long adds = 0;
        unsigned long long subs = 0;
    } scan;
    ::dl_iterate_phdr(
        [](dl_phdr_info* info, size_t size, void* data) -> int {
            auto* scan = static_cast<Scan*>(data);
            if (size >= offsetof(dl_phdr_info, dlpi_subs) + sizeof info->dlpi_subs) {
                scan->adds = info->dlpi_adds;
                scan->subs = info->dlpi_subs;
            }
            VZRBinaryImageDetails details;
            if (VZRBinaryImageDetailsFromELF(info, &details))
                scan->images.push_back(std::move(details));
            return 0;
        },
        &scan);
    if (adds)
        *adds = scan.adds;
    if (subs)
        *subs = scan.subs;
    return std::move(scan.images);
}

// Slices for every tracked node of a loaded image that has none yet.
void cutMissingSlices() {
    VZRBinaryImageNode* nodes = writableNodes();
    if (!nodes)
        return;
    ::dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) -> int {
            auto* all = static_cast<VZRBinaryImageNode*>(data);
            VZRBinaryImageDetails details;
            if (!VZRBinaryImageDetailsFromELF(info, &details) || details.ehFrameHdrCount == 0)
                return 0;
            for (size_t i = 0; i < kVZRBinaryImageNodeCount; ++i) {
                VZRBinaryImageNode& node = all[i];
                if (std::atomic_ref<uintptr_t>(node.loadAddress).load() != details.loadAddress ||
                    std::atomic_ref<uint64_t>(node.textSize).load() == 0 ||
                    std::atomic_ref<uint32_t>(node.ehFramePivotSlot).load() != 0)
                    continue;
                VZRBinaryImagePivots pivots;
                if (VZRBinaryImagePivotsFromELF(info, details, &pivots) &&
                    pivots.tableCount == node.ehFrameHdrCount) {
                    binaryImagePivotsBySlot[i] = pivots;
                    std::atomic_ref<uint32_t>(node.ehFramePivotSlot)
                        .store(static_cast<uint32_t>(i + 1), std::memory_order_release);
                }
                break;
            }
            return 0;
        },
        nodes);
}

// Brings the known set and the nodes up to date with the loader's list.
void reconcile(const std::vector<VZRBinaryImageDetails>& images) {
    std::vector<VZRBinaryImageDetails> added;
    std::vector<VZRBinaryImageDetails> removed;
    {
        BinaryImageState& s = imageState();
        std::lock_guard lock(s.mutex);
        std::map<uintptr_t, VZRBinaryImageDetails> now;
        for (const VZRBinaryImageDetails& image : images)
            now.emplace(image.loadAddress, image);
        for (const auto& [base, image] : s.known)
            if (!now.count(base))
                removed.push_back(image);
        for (const VZRBinaryImageDetails& image : images)
            if (!s.known.count(image.loadAddress))
                added.push_back(image);
        s.known = std::move(now);
    }
    for (const VZRBinaryImageDetails& image : removed)
        VZRBinaryImageRemoved(image);
    for (const VZRBinaryImageDetails& image : added)
        VZRBinaryImageAdded(image);
    // Cutting a table into slices reads all of it: done on the binary-images queue, so that the context's
    // set-up does not wait for it, and under the loader's lock, so that no image is unloaded meanwhile.
    plat::DispatchQueuePtr queue = VZRContextBinaryImagesQueue();
    if (!added.empty() && queue)
        queue->async([] { cutMissingSlices(); });
}

// Libraries that the C library loads by itself (name services, character sets) pass no wrapper: the
// loader's counters of loads and unloads tell that a rescan is due.
void schedulePeriodicCheck(uint64_t generation) {
    VZRDispatchAfter(
        VZRContextBinaryImagesQueue(),
        [generation] {
            BinaryImageState& s = imageState();
            {
                std::lock_guard lock(s.mutex);
                if (generation != s.generation)
                    return;
            }
            unsigned long long counters[2] = {0, 0};
            ::dl_iterate_phdr(
                [](dl_phdr_info* info, size_t, void* data) -> int {
                    auto* out = static_cast<unsigned long long*>(data);
                    out[0] = info->dlpi_adds;
                    out[1] = info->dlpi_subs;
                    return 1; // the counters come with every object; one is enough
                },
                counters);
            bool changed = false;
            {
                std::lock_guard lock(s.mutex);
                changed = counters[0] != s.adds || counters[1] != s.subs;
            }
            if (changed)
                VZRBinaryImageRescan();
            schedulePeriodicCheck(generation);
        },
        kBinaryImageRescanInterval);
}

void rescanNow() {
    unsigned long long adds = 0;
    unsigned long long subs = 0;
    const std::vector<VZRBinaryImageDetails> images = scanLoader(&adds, &subs);
    {
        BinaryImageState& s = imageState();
        std::lock_guard lock(s.mutex);
        s.adds = adds;
        s.subs = subs;
    }
    reconcile(images);
}

} // namespace

bool VZRBinaryImageDetailsFromELF(const dl_phdr_info* info, VZRBinaryImageDetails* details) {
    if (!info || !details || !info->dlpi_phdr || info->dlpi_phnum == 0)
        return false;
    *details = VZRBinaryImageDetails{};
    uintptr_t base = UINTPTR_MAX;
    uintptr_t textEnd = 0;
    ElfNotes notes;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        const uintptr_t start = info->dlpi_addr + ph.p_vaddr;
        switch (ph.p_type) {
        case PT_LOAD:
            if (ph.p_offset == 0 && start < base)
                base = start;
            if ((ph.p_flags & PF_X) && start + ph.p_memsz > textEnd)
                textEnd = start + ph.p_memsz;
            break;
        case PT_GNU_EH_FRAME:
            details->ehFrameHdr = start;
            break;
        case PT_NOTE:
            readNotes(reinterpret_cast<const uint8_t*>(start), ph.p_memsz, &notes);
            break;
        default:
            break;
        }
    }
    if (base == UINTPTR_MAX)
        return false;
    details->loadAddress = base;
    details->slide = static_cast<intptr_t>(info->dlpi_addr);
    details->textSize = textEnd > base ? textEnd - base : 0;
    if (details->ehFrameHdr != 0) {
        details->ehFrame = ehFrameFromHeader(details->ehFrameHdr);
        details->ehFrameHdrCount = ehFrameHdrCountOf(details->ehFrameHdr);
    }
    uint8_t uuid[16] = {};
    if (notes.buildId)
        std::memcpy(uuid, notes.buildId, notes.buildIdSize < 16 ? notes.buildIdSize : 16);
    VZRHexFromBuffer(uuid, sizeof uuid, details->uuid);
    if (notes.abiTag)
        details->minimumOSVersion = VZRMachOVersion{notes.abiTag[1], notes.abiTag[2], notes.abiTag[3]};
    const auto* header = reinterpret_cast<const ElfW(Ehdr)*>(base);
    details->architecture = std::memcmp(header->e_ident, ELFMAG, SELFMAG) == 0
                                ? elfArchitecture(header->e_machine)
                                : "unknown";
    details->path = info->dlpi_name && info->dlpi_name[0] ? info->dlpi_name : plat::executablePath();
    return true;
}

namespace {

// Larger tables are cut evenly without reading their FDEs: cutting by FDE pages reads the first words of
// every FDE once, and keeps what it read while it tries.
constexpr uint32_t kPivotMeasuredEntries = 1u << 16;
// At most a page of table entries per slice, so that its part of the table is at most two pages.
constexpr uint32_t kPivotSliceEntries = 512;

struct PivotFDE {
    int32_t start = 0;
    uintptr_t address = 0;
    uintptr_t end = 0; // 0: the record could not be read
    uintptr_t cie = 0;
};

// The FDEs and CIE set of a slice being cut.
struct PivotSpan {
    uintptr_t low = UINTPTR_MAX;
    uintptr_t high = 0;
    uint8_t cies = 0;
};

uintptr_t pivotPagesOf(const PivotSpan& span) {
    constexpr uintptr_t kPage = 4096;
    return span.high == 0 ? 0 : (span.high - 1) / kPage - span.low / kPage + 1;
}

// The bit of `cie` among the image's CIEs, added when there is room (0: no room).
uint8_t pivotCIEBit(VZRBinaryImagePivots* pivots, uintptr_t header, uintptr_t cie, unsigned* used) {
    const int32_t offset = headerOffsetOf(header, cie);
    if (offset == 0)
        return 0;
    for (unsigned i = 0; i < *used; ++i) {
        if (pivots->cie[i] == offset)
            return static_cast<uint8_t>(1u << i);
    }
    if (*used == kVZRBinaryImagePivotCIECount)
        return 0;
    pivots->cie[*used] = offset;
    return static_cast<uint8_t>(1u << (*used)++);
}

PivotSpan pivotSpanWith(PivotSpan span, const PivotFDE& fde, uint8_t cieBit) {
    if (fde.end == 0)
        return span; // unreadable: left to the crash-time reads
    span.low = fde.address < span.low ? fde.address : span.low;
    span.high = fde.end > span.high ? fde.end : span.high;
    span.cies = static_cast<uint8_t>(span.cies | cieBit);
    return span;
}

void pivotAppend(VZRBinaryImagePivots* pivots, uintptr_t header, uint32_t entry, int32_t start,
                 const PivotSpan& span) {
    VZRBinaryImagePivot& pivot = pivots->pivots[pivots->count++];
    pivot.start = start;
    pivot.entry = entry;
    const uintptr_t pages = pivotPagesOf(span);
    if (pages != 0 && pages <= kVZRBinaryImagePivotFDEPages) {
        pivot.fde = headerOffsetOf(header, span.low);
        pivot.fdePages = pivot.fde != 0 ? static_cast<uint8_t>(pages) : 0;
    }
    pivot.cies = span.cies;
}

// Cuts a new slice wherever the current one's FDEs would spread over more than `pages` pages or use more
// than two CIEs, or its entries fill a page; false when that takes more slices than a node keeps.
bool pivotCutByPages(const std::vector<PivotFDE>& fdes, uintptr_t header, uintptr_t pages,
                     VZRBinaryImagePivots* pivots) {
    *pivots = VZRBinaryImagePivots{};
    unsigned used = 0;
    PivotSpan span;
    uint32_t first = 0;
    for (uint32_t i = 0; i < fdes.size(); ++i) {
        const PivotSpan grown = pivotSpanWith(span, fdes[i], pivotCIEBit(pivots, header, fdes[i].cie, &used));
        if (i > first &&
            (pivotPagesOf(grown) > pages || __builtin_popcount(grown.cies) > 2 || i - first >= kPivotSliceEntries)) {
            if (pivots->count + 1 == kVZRBinaryImagePivotCount)
                return false;
            pivotAppend(pivots, header, first, fdes[first].start, span);
            first = i;
            span = pivotSpanWith(PivotSpan{}, fdes[i], pivotCIEBit(pivots, header, fdes[i].cie, &used));
        } else {
            span = grown;
        }
    }
    pivotAppend(pivots, header, first, fdes[first].start, span);
    return true;
}

} // namespace

bool VZRBinaryImagePivotsFromHeader(uintptr_t ehFrameHdr, uintptr_t tableEnd, uintptr_t frameStart,
                                    uintptr_t frameEnd, VZRBinaryImagePivots* pivots) {
    constexpr uintptr_t kTableOffset = 12;
    if (!pivots)
        return false;
    *pivots = VZRBinaryImagePivots{};
    if (ehFrameHdr < 4096 || tableEnd < ehFrameHdr || tableEnd - ehFrameHdr < kTableOffset)
        return false;
    const uint32_t count = ehFrameHdrCountOf(ehFrameHdr);
    if (count == 0 || (tableEnd - ehFrameHdr - kTableOffset) / 8 < count)
        return false;
    const auto entry = [ehFrameHdr](uint64_t index) {
        int32_t pair[2];
        std::memcpy(pair, reinterpret_cast<const void*>(ehFrameHdr + kTableOffset + index * 8), sizeof pair);
        PivotFDE fde;
        fde.start = pair[0];
        fde.address = ehFrameHdr + static_cast<intptr_t>(pair[1]);
        return fde;
    };
    const uint32_t slices = count < kVZRBinaryImagePivotCount ? count : kVZRBinaryImagePivotCount;
    if (count > kPivotMeasuredEntries) {
        for (uint32_t j = 0; j < slices; ++j) {
            const uint32_t first = static_cast<uint32_t>(uint64_t{j} * count / slices);
            pivotAppend(pivots, ehFrameHdr, first, entry(first).start, PivotSpan{});
        }
        pivots->tableCount = count;
        return true;
    }
    std::vector<PivotFDE> fdes(count);
    for (uint32_t i = 0; i < count; ++i) {
        fdes[i] = entry(i);
        if (!fdeRecordBounds(fdes[i].address, frameStart, frameEnd, &fdes[i].end, &fdes[i].cie))
            fdes[i].end = 0;
    }
    // The fewest pages per slice that the node's slices allow; else even slices, each with its own span.
    bool cut = false;
    for (uintptr_t pages = 1; pages <= kVZRBinaryImagePivotFDEPages && !cut; ++pages)
        cut = pivotCutByPages(fdes, ehFrameHdr, pages, pivots);
    if (!cut) {
        *pivots = VZRBinaryImagePivots{};
        unsigned used = 0;
        for (uint32_t j = 0; j < slices; ++j) {
            const uint32_t first = static_cast<uint32_t>(uint64_t{j} * count / slices);
            const uint32_t last = static_cast<uint32_t>(uint64_t{j + 1} * count / slices);
            PivotSpan span;
            for (uint32_t i = first; i < last; ++i)
                span = pivotSpanWith(span, fdes[i], pivotCIEBit(pivots, ehFrameHdr, fdes[i].cie, &used));
            if (__builtin_popcount(span.cies) > 2)
                span.cies = 0;
            pivotAppend(pivots, ehFrameHdr, first, fdes[first].start, span);
        }
    }
    for (size_t i = 0; i < kVZRBinaryImagePivotCIECount && pivots->cie[i] != 0; ++i) {
        const uintptr_t slot =
            ciePersonalitySlot(ehFrameHdr + static_cast<intptr_t>(pivots->cie[i]), frameStart, frameEnd);
        pivots->personality[i] = slot != 0 ? headerOffsetOf(ehFrameHdr, slot) : 0;
    }
    pivots->tableCount = count;
    return true;
}

bool VZRBinaryImagePivotsFromELF(const dl_phdr_info* info, const VZRBinaryImageDetails& details,
                                 VZRBinaryImagePivots* pivots) {
    if (!info || !pivots || details.ehFrameHdr == 0 || details.ehFrameHdrCount == 0)
        return false;
    // The table ends with its segment; the FDEs and CIEs lie in the readable loaded segment that holds
    // ".eh_frame".
    uintptr_t tableEnd = 0;
    uintptr_t frameStart = 0;
    uintptr_t frameEnd = 0;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        const uintptr_t start = info->dlpi_addr + ph.p_vaddr;
        if (ph.p_type == PT_GNU_EH_FRAME && start == details.ehFrameHdr)
            tableEnd = start + ph.p_memsz;
        if (ph.p_type == PT_LOAD && (ph.p_flags & PF_R) && details.ehFrame >= start &&
            details.ehFrame - start < ph.p_filesz) {
            frameStart = start;
            frameEnd = start + ph.p_filesz;
        }
    }
    return tableEnd != 0 && frameEnd != 0 &&
           VZRBinaryImagePivotsFromHeader(details.ehFrameHdr, tableEnd, frameStart, frameEnd, pivots);
}

const VZRBinaryImagePivots* VZRBinaryImageNodePivots(const VZRBinaryImageNode& node) {
    const uint32_t slot = std::atomic_ref<const uint32_t>(node.ehFramePivotSlot).load(std::memory_order_acquire);
    if (slot == 0 || slot > kVZRBinaryImageNodeCount)
        return nullptr;
    return &binaryImagePivotsBySlot[slot - 1];
}

bool VZRBinaryImageDetailsFromMachOHeader(const void* header, intptr_t slide, VZRBinaryImageDetails* details) {
    if (!header || !details)
        return false;
    *details = VZRBinaryImageDetails{};
    VZRMachOSliceInfo slice = VZRMachOSliceWithHeader(header);
    const uint8_t* first = nullptr;
    uint32_t count = 0;
    VZRMachOSliceReadHeader(&slice, &first, &count);
    if (!first)
        return false;
    details->slice = slice;
    details->loadAddress = reinterpret_cast<uintptr_t>(header);
    details->slide = slide;
    details->architecture = VZRMachOArchitectureName(&slice);
    const bool is64 = VZRMachOSliceIs64Bit(&slice);
    VZRHexFromBuffer(std::array<uint8_t, 16>{}.data(), 16, details->uuid);
    VZRMachOSliceEnumerateLoadCommands(&slice, [&](const VZRMachOLoadCommand& command) {
        if (const uint8_t* uuid = VZRMachOLoadCommandUUIDBytes(command)) {
            VZRMachOUUIDString(uuid, details->uuid);
        } else if (command.type == kVZRLoadCommandEncryptionInfo) {
            details->encrypted = VZRMachOLoadCommandIsEncrypted(command);
        } else if (VZRMachOLoadCommandIsVersionMinimum(command.type)) {
            details->minimumOSVersion = VZRMachOLoadCommandMinimumOSVersion(command);
            details->sdkVersion = VZRMachOLoadCommandSDKVersion(command);
        } else if (command.type == 0x19 || command.type == 0x1) {
            // A segment and its sections: the 64-bit form has 8-byte addresses and sizes.
            const bool wide = command.type == 0x19;
            const size_t segmentSize = wide ? 72 : 56;
            const size_t sectionSize = wide ? 80 : 68;
            if (command.size < segmentSize)
                return;
            char segment[17] = {};
            std::memcpy(segment, command.bytes + 8, 16);
            uint64_t vmsize = 0;
            uint32_t sections = 0;
            if (wide) {
                std::memcpy(&vmsize, command.bytes + 32, 8);
                std::memcpy(&sections, command.bytes + 64, 4);
            } else {
                uint32_t v = 0;
                std::memcpy(&v, command.bytes + 28, 4);
                vmsize = v;
                std::memcpy(&sections, command.bytes + 48, 4);
            }
            if (std::strcmp(segment, "__TEXT") == 0)
                details->textSize = vmsize;
            for (uint32_t i = 0; i < sections && segmentSize + (i + 1) * sectionSize <= command.size; ++i) {
                const uint8_t* section = command.bytes + segmentSize + i * sectionSize;
                char name[17] = {};
                char owner[17] = {};
                std::memcpy(name, section, 16);
                std::memcpy(owner, section + 16, 16);
                uint64_t address = 0;
                if (wide) {
                    std::memcpy(&address, section + 32, 8);
                } else {
                    uint32_t a = 0;
                    std::memcpy(&a, section + 32, 4);
                    address = a;
                }
                const uintptr_t slid = static_cast<uintptr_t>(address + static_cast<uint64_t>(slide));
                if (std::strcmp(owner, "__TEXT") == 0 && std::strcmp(name, "__unwind_info") == 0)
                    details->unwindInfo = slid;
                else if (std::strcmp(owner, "__TEXT") == 0 && std::strcmp(name, "__eh_frame") == 0)
                    details->ehFrame = slid;
                else if (std::strcmp(owner, "__DATA") == 0 && std::strcmp(name, "__crash_info") == 0)
                    details->crashInfo = slid;
            }
        }
    });
    (void)is64;
    return true;
}

void VZRBinaryImageInit() {
    VZRBinaryImageNode* nodes = writableNodes();
    if (nodes)
        for (size_t i = 0; i < kVZRBinaryImageNodeCount; ++i)
            nodes[i] = VZRBinaryImageNode{};
    plat::DispatchQueuePtr queue = VZRContextBinaryImagesQueue();
    VZRReadOnlyContext* readonly = VZRSharedContext().readonly.load();
    if (!queue || !VZRIsValidPointer(readonly))
        return;
    uint64_t generation = 0;
    {
        BinaryImageState& s = imageState();
        std::lock_guard lock(s.mutex);
        s.known.clear();
        generation = ++s.generation;
        if (!s.listening) {
            s.listening = true;
            plat::loader::addListener([] { VZRBinaryImageRescan(); });
        }
    }
    const char* path = readonly->binaryImagesPath;
    queue->async([path] {
        VZRFile& file = imageFile();
        if (VZRFileIsOpen(&file))
            VZRFileClose(&file);
        file = VZRFile{};
        if (!VZRUnlinkIfExists(path))
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Unable to reset the binary image log file %s\n", VZR_HERE, path);
        if (!VZRFileInitWithPath(&file, path, false))
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: Unable to open the binary image log file during init\n",
                      VZR_HERE);
    });
    // Every image loaded so far, as the loader's add callback would report them one by one.
    rescanNow();
    queue->async([] {
        VZRFile& file = imageFile();
        if (VZRFileIsOpen(&file))
            VZRFileClose(&file);
    });
    schedulePeriodicCheck(generation);
}

void VZRBinaryImageRescan() {
    plat::DispatchQueuePtr queue = VZRContextBinaryImagesQueue();
    if (queue)
        queue->async([] { rescanNow(); });
}

void VZRBinaryImageAdded(const VZRBinaryImageDetails& details) {
    if (VZRBinaryImageNode* nodes = writableNodes()) {
        bool tracked = false;
        for (size_t i = 0; i < kVZRBinaryImageNodeCount && !tracked; ++i) {
            uintptr_t expected = 0;
            if (!std::atomic_ref<uintptr_t>(nodes[i].loadAddress)
                     .compare_exchange_strong(expected, details.loadAddress, std::memory_order_seq_cst))
                continue;
            VZRBinaryImageNode& node = nodes[i];
            node.ehFrameOffset = offsetFrom(details.loadAddress, details.ehFrame);
            node.ehFrameHdrOffset = offsetFrom(details.loadAddress, details.ehFrameHdr);
            node.unwindInfoOffset = offsetFrom(details.loadAddress, details.unwindInfo);
            node.crashInfoOffset = offsetFrom(details.loadAddress, details.crashInfo);
            node.ehFrameHdrCount = node.ehFrameHdrOffset != 0 ? details.ehFrameHdrCount : 0;
            std::atomic_ref<uint32_t>(node.ehFramePivotSlot).store(0); // cut later, off the caller's path
            std::atomic_thread_fence(std::memory_order_seq_cst);
            // Last: until the size is set no address matches the node.
            std::atomic_ref<uint64_t>(node.textSize).store(details.textSize);
            tracked = true;
        }
        if (!tracked)
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: Unable to track a %s node %p\n", VZR_HERE, "loaded",
                      reinterpret_cast<void*>(details.loadAddress));
    }
    queueRecord(details, true);
}

void VZRBinaryImageRemoved(const VZRBinaryImageDetails& details) {
    if (VZRBinaryImageNode* nodes = writableNodes()) {
        bool found = false;
        for (size_t i = 0; i < kVZRBinaryImageNodeCount && !found; ++i) {
            VZRBinaryImageNode& node = nodes[i];
            if (std::atomic_ref<uintptr_t>(node.loadAddress).load() != details.loadAddress)
                continue;
            found = true;
            // No address matches once the size is 0; then the node is handed back for the next load.
            std::atomic_ref<uint64_t>(node.textSize).store(0);
            std::atomic_thread_fence(std::memory_order_seq_cst);
            node.ehFrameOffset = node.ehFrameHdrOffset = node.unwindInfoOffset = node.crashInfoOffset = 0;
            node.ehFrameHdrCount = 0;
            std::atomic_ref<uint32_t>(node.ehFramePivotSlot).store(0);
            uintptr_t expected = details.loadAddress;
            if (!std::atomic_ref<uintptr_t>(node.loadAddress).compare_exchange_strong(expected, 0))
                VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: Failed to swap during image unload\n", VZR_HERE);
        }
        if (!found)
            VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: Unable to track a %s node %p\n", VZR_HERE, "unloaded",
                      reinterpret_cast<void*>(details.loadAddress));
    }
    queueRecord(details, false);
}

bool VZRBinaryImageSafeFindImageForAddress(uintptr_t address, VZRBinaryImageNode* node) {
    if (!VZRContextIsInitialized())
        return false;
    VZRWritableContext* writable = VZRSharedContext().writable.load();
    if (!VZRIsValidPointer(writable))
        return false;
    for (size_t i = 0; i < kVZRBinaryImageNodeCount; ++i) {
        const VZRBinaryImageNode* candidate = &writable->binaryImages[i];
        if (!VZRIsValidPointer(candidate)) {
            VZRSDKLog(VZRLogLevelWarn,
                      "WARN  [%s:%d] Invalid node pointer encountered in context's writable binary image at index %i",
                      VZR_HERE);
            continue;
        }
        const uintptr_t base = std::atomic_ref<const uintptr_t>(candidate->loadAddress).load();
        const uint64_t size = std::atomic_ref<const uint64_t>(candidate->textSize).load();
        if (base == 0 || address < base || address - base >= size)
            continue;
        if (node) {
            *node = *candidate;
            node->loadAddress = base;
            node->textSize = size;
        }
        return true;
    }
    return false;
}

bool VZRBinaryImageFindImageForUUID(const char* uuid, VZRBinaryImageDetails* details) {
    if (!uuid || !details) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] null input\n", VZR_HERE);
        return false;
    }
    static constexpr char kNoUUID[33] = "00000000000000000000000000000000";
    if (std::strncmp(uuid, kNoUUID, 33) == 0)
        return false;
    for (VZRBinaryImageDetails& image : scanLoader(nullptr, nullptr)) {
        if (std::strncmp(image.uuid, uuid, 33) == 0) {
            *details = std::move(image);
            return true;
        }
    }
    return false;
}

bool VZRBinaryImageRecordExecutable(VZRFile* file) {
    if (!file) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] Error: file is invalid\n", VZR_HERE);
        return false;
    }
    // The main executable is the first object the loader reports.
    struct First {
        VZRBinaryImageDetails details;
        bool found = false;
    } first;
    ::dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) -> int {
            auto* out = static_cast<First*>(data);
            out->found = VZRBinaryImageDetailsFromELF(info, &out->details);
            return 1;
        },
        &first);
    if (!first.found)
        return false;
    const VZRBinaryImageDetails& details = first.details;
    char minimum[40] = {};
    char built[40] = {};
    VZRMachOVersionString(&details.minimumOSVersion, minimum, sizeof minimum);
    VZRMachOVersionString(&details.sdkVersion, built, sizeof built);
    VZRFileBeginSection(file, "executable");
    VZRFileBeginObject(file);
    VZRFileWriteStringField(file, "architecture", details.architecture);
    VZRFileWriteStringField(file, "uuid", details.uuid);
    VZRFileWriteUnsignedField(file, "base", details.loadAddress);
    VZRFileWriteUnsignedField(file, "size", details.textSize);
    VZRFileWriteBoolField(file, "encrypted", details.encrypted);
    VZRFileWriteStringField(file, "minimum_sdk_version", minimum);
    VZRFileWriteStringField(file, "built_sdk_version", built);
    VZRFileEndObject(file);
    VZRFileEndSection(file);
    return true;
}

void VZRBinaryImageSetLoaderForTesting(VZRBinaryImageLoaderScan scan) {
    BinaryImageState& s = imageState();
    std::lock_guard lock(s.mutex);
    s.fakeLoader = std::move(scan);
}
