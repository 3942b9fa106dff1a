#pragma once
// The executable reader: plain functions over a memory-mapped Mach-O file (thin or fat) or an image header in
// memory. The crash reporter calls them from the loader's callback, so none of them locks, allocates,
// throws or logs; failure is a false, null or "unknown" result.
//
// Every record carries the number of bytes that may be read from its start. Records over a mapped file get
// the mapped size and no walker reads past it; records over a loaded image in memory have no size
// (kVZRMachOUnbounded) and are trusted, as the loader's own images are.

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

inline constexpr uint64_t kVZRMachOUnbounded = UINT64_MAX;

struct VZRMachOFile {
    int32_t fd = 0;
    uint64_t mappedSize = 0;
    const void* mappedFile = nullptr;
};

struct VZRMachOSliceInfo {
    const void* startAddress = nullptr;
    int32_t cputype = 0;
    int32_t cpusubtype = 0;
    // Bytes readable from startAddress.
    uint64_t size = kVZRMachOUnbounded;
};

struct VZRMachOVersion {
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t bugfix = 0;
};

// One load command as the walk hands it out: its fields already in the machine's byte order.
struct VZRMachOLoadCommand {
    uint32_t type = 0;
    uint32_t size = 0;        // the command's own size, at least 8 and inside the image
    const uint8_t* bytes = nullptr;
    uint32_t index = 0;       // 1-based
    bool swapped = false;     // the image is in the other byte order
};

inline constexpr uint32_t kVZRLoadCommandLoadDylib = 12;
inline constexpr uint32_t kVZRLoadCommandUUID = 27;
inline constexpr uint32_t kVZRLoadCommandEncryptionInfo = 33;
inline constexpr uint32_t kVZRLoadCommandVersionMinMacOSX = 36;
inline constexpr uint32_t kVZRLoadCommandVersionMinIPhoneOS = 37;
inline constexpr uint32_t kVZRLoadCommandVersionMinTVOS = 47;
inline constexpr uint32_t kVZRLoadCommandVersionMinWatchOS = 48;

// A non-owning reference to a callable, so the walkers take blocks without allocating.
template <class Signature> class VZRBlock;
template <class R, class... A> class VZRBlock<R(A...)> {
public:
    template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, VZRBlock>) VZRBlock(F&& f) noexcept
        : object_(const_cast<void*>(static_cast<const void*>(&f))),
          call_([](void* o, A... a) -> R { return (*static_cast<std::remove_reference_t<F>*>(o))(a...); }) {}
    R operator()(A... a) const { return call_(object_, a...); }

private:
    void* object_;
    R (*call_)(void*, A...);
};

bool VZRMachOFileMap(VZRMachOFile* file, const char* path);
void VZRMachOFileUnmap(VZRMachOFile* file);
bool VZRMachOFileMapExecutable(VZRMachOFile* file);

VZRMachOSliceInfo VZRMachOExecutableHeader();
const char* VZRMachOImagePath(const VZRMachOSliceInfo* slice);
VZRMachOSliceInfo VZRMachOSliceWithHeader(const void* header, uint64_t size = kVZRMachOUnbounded);

using VZRMachOSliceBlock = VZRBlock<void(VZRMachOSliceInfo*)>;
using VZRMachOLoadCommandBlock = VZRBlock<void(const VZRMachOLoadCommand&)>;

void VZRMachOFileEnumerateSlices(const VZRMachOFile* file, VZRMachOSliceBlock block);
// Fat data: one record per entry, in entry order, with the entry's cpu type and subtype; an entry whose
// slice header would lie outside the data is skipped. Thin data: one record with the types of its header
// (0 when the header is not recognised).
void VZRMachOEnumerateSlices(const void* data, uint64_t size, VZRMachOSliceBlock block);
// Clears the outs; when the record starts with a Mach-O header that fits in it, stores the header's cpu
// type and subtype in the record and gives the first command and the command count.
void VZRMachOSliceReadHeader(VZRMachOSliceInfo* slice, const uint8_t** firstCommand = nullptr,
                             uint32_t* commandCount = nullptr);
// Calls the block for each load command in order. The walk stops at the first command shorter than 8 bytes
// or running past the end of the record.
void VZRMachOSliceEnumerateLoadCommands(VZRMachOSliceInfo* slice, VZRMachOLoadCommandBlock block);

// "unknown" when nothing names the pair.
const char* VZRMachOArchitectureName(const VZRMachOSliceInfo* slice);
bool VZRMachOSliceIs64Bit(const VZRMachOSliceInfo* slice);

// Readers of one command; each checks that the command is of its type and large enough. Null (or false,
// or a zero version) otherwise.
const uint8_t* VZRMachOLoadCommandUUIDBytes(const VZRMachOLoadCommand& command);
// The path, when its terminating zero lies inside the command.
const char* VZRMachOLoadCommandDylibPath(const VZRMachOLoadCommand& command);
bool VZRMachOLoadCommandIsEncrypted(const VZRMachOLoadCommand& command);
VZRMachOVersion VZRMachOLoadCommandMinimumOSVersion(const VZRMachOLoadCommand& command);
VZRMachOVersion VZRMachOLoadCommandSDKVersion(const VZRMachOLoadCommand& command);
bool VZRMachOLoadCommandIsVersionMinimum(uint32_t type);

// 32 lower-case hex digits in byte order, no dashes, written into `out` (33 bytes with the zero).
void VZRMachOUUIDString(const uint8_t uuid[16], char out[33]);
// "major.minor.bugfix" into `out`; false (empty text) for a null version.
bool VZRMachOVersionString(const VZRMachOVersion* version, char* out, size_t outSize);
VZRMachOVersion VZRMachOVersionFromWord(uint32_t word);
