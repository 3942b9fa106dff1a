#include "kit_host/VZRMachO.hpp"

#include "kit_host/ZUVUtilities.hpp"
#include "platform/foundation/ProcessImage.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t kFatMagic = 0xCAFEBABE;
constexpr uint32_t kFatCigam = 0xBEBAFECA;
constexpr uint32_t kMagic32 = 0xFEEDFACE;
constexpr uint32_t kCigam32 = 0xCEFAEDFE;
constexpr uint32_t kMagic64 = 0xFEEDFACF;
constexpr uint32_t kCigam64 = 0xCFFAEDFE;
constexpr uint64_t kHeader32Size = 28;
constexpr uint64_t kHeader64Size = 32;
constexpr uint64_t kFatHeaderSize = 8;
constexpr uint64_t kFatEntrySize = 20;
constexpr uint64_t kLoadCommandMinimum = 8;
constexpr int32_t kCPUTypeARM = 12;
constexpr int32_t kCPUTypeARM64 = 0x0100000C;

// Reads are byte copies: nothing in a file promises alignment.
uint32_t word(const void* at) {
    uint32_t v;
    std::memcpy(&v, at, sizeof v);
    return v;
}

uint32_t swapIf(uint32_t v, bool swapped) {
    return swapped ? __builtin_bswap32(v) : v;
}

uint32_t bigEndian(const uint8_t* at) {
    return (uint32_t{at[0]} << 24) | (uint32_t{at[1]} << 16) | (uint32_t{at[2]} << 8) | uint32_t{at[3]};
}

bool fits(uint64_t size, uint64_t offset, uint64_t length) {
    return offset <= size && length <= size - offset;
}

struct Header {
    uint64_t length = 0;
    bool swapped = false;
};

// The header kind of a record, when its magic is one of the four and the whole header fits.
bool headerOf(const VZRMachOSliceInfo& slice, Header& out) {
    if (!slice.startAddress || !fits(slice.size, 0, 4))
        return false;
    switch (word(slice.startAddress)) {
    case kMagic32:
        out = {kHeader32Size, false};
        break;
    case kCigam32:
        out = {kHeader32Size, true};
        break;
    case kMagic64:
        out = {kHeader64Size, false};
        break;
    case kCigam64:
        out = {kHeader64Size, true};
        break;
    default:
        return false;
    }
    return fits(slice.size, 0, out.length);
}

uint32_t commandWord(const VZRMachOLoadCommand& command, uint32_t offset) {
    return swapIf(word(command.bytes + offset), command.swapped);
}

} // namespace

bool VZRMachOFileMap(VZRMachOFile* file, const char* path) {
    if (!file || !path)
        return false;
    *file = VZRMachOFile{};
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return false;
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    if (size < 16 || (st.st_mode & S_IFMT) != S_IFREG) {
        ::close(fd);
        return false;
    }
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED || !map) {
        ::close(fd);
        return false;
    }
    file->fd = fd;
    file->mappedSize = size;
    file->mappedFile = map;
    return true;
}

void VZRMachOFileUnmap(VZRMachOFile* file) {
    if (!file)
        return;
    if (file->mappedFile && file->mappedSize != 0)
        ::munmap(const_cast<void*>(file->mappedFile), file->mappedSize);
    if (file->fd > 0)
        ::close(file->fd);
    *file = VZRMachOFile{};
}

bool VZRMachOFileMapExecutable(VZRMachOFile* file) {
    const std::string path = plat::executablePath();
    if (path.empty())
        return false;
    return VZRMachOFileMap(file, path.c_str());
}

VZRMachOSliceInfo VZRMachOExecutableHeader() {
    const plat::ArchitectureInfo local = plat::localArchitecture();
    VZRMachOSliceInfo slice;
    slice.startAddress = plat::mainExecutableHeader();
    slice.cputype = local.cputype;
    slice.cpusubtype = local.cpusubtype;
    return slice;
}

const char* VZRMachOImagePath(const VZRMachOSliceInfo* slice) {
    if (!slice || !slice->startAddress)
        return nullptr;
    return plat::imagePathContaining(slice->startAddress);
}

VZRMachOSliceInfo VZRMachOSliceWithHeader(const void* header, uint64_t size) {
    VZRMachOSliceInfo slice;
    slice.startAddress = header;
    slice.size = size;
    return slice;
}

void VZRMachOFileEnumerateSlices(const VZRMachOFile* file, VZRMachOSliceBlock block) {
    if (!file || !file->mappedFile)
        return;
    VZRMachOEnumerateSlices(file->mappedFile, file->mappedSize, block);
}

void VZRMachOEnumerateSlices(const void* data, uint64_t size, VZRMachOSliceBlock block) {
    if (!data || !fits(size, 0, 4))
        return;
    const auto* bytes = static_cast<const uint8_t*>(data);
    const uint32_t magic = word(bytes);
    if (magic == kFatMagic || magic == kFatCigam) {
        if (!fits(size, 0, kFatHeaderSize))
            return;
        const uint32_t count = bigEndian(bytes + 4);
        for (uint64_t i = 0; i < count; ++i) {
            const uint64_t entry = kFatHeaderSize + i * kFatEntrySize;
            if (!fits(size, entry, kFatEntrySize))
                return; // the table itself ends with the file
            const uint64_t offset = bigEndian(bytes + entry + 8);
            // The smallest header must lie inside the file; otherwise the entry is skipped.
            if (!fits(size, offset, kHeader32Size))
                continue;
            VZRMachOSliceInfo slice;
            slice.startAddress = bytes + offset;
            slice.cputype = static_cast<int32_t>(bigEndian(bytes + entry));
            slice.cpusubtype = static_cast<int32_t>(bigEndian(bytes + entry + 4));
            slice.size = size - offset;
            block(&slice);
        }
        return;
    }
    VZRMachOSliceInfo slice = VZRMachOSliceWithHeader(data, size);
    VZRMachOSliceReadHeader(&slice);
    block(&slice);
}

void VZRMachOSliceReadHeader(VZRMachOSliceInfo* slice, const uint8_t** firstCommand, uint32_t* commandCount) {
    if (firstCommand)
        *firstCommand = nullptr;
    if (commandCount)
        *commandCount = 0;
    Header header;
    if (!slice || !headerOf(*slice, header))
        return;
    const auto* start = static_cast<const uint8_t*>(slice->startAddress);
    slice->cputype = static_cast<int32_t>(swapIf(word(start + 4), header.swapped));
    slice->cpusubtype = static_cast<int32_t>(swapIf(word(start + 8), header.swapped));
    if (firstCommand)
        *firstCommand = start + header.length;
    if (commandCount)
        *commandCount = swapIf(word(start + 16), header.swapped);
}

void VZRMachOSliceEnumerateLoadCommands(VZRMachOSliceInfo* slice, VZRMachOLoadCommandBlock block) {
    if (!slice || !slice->startAddress)
        return;
    const uint8_t* first = nullptr;
    uint32_t count = 0;
    VZRMachOSliceReadHeader(slice, &first, &count);
    if (!first || count == 0)
        return;
    Header header;
    headerOf(*slice, header);
    const auto* start = static_cast<const uint8_t*>(slice->startAddress);
    uint64_t offset = static_cast<uint64_t>(first - start);
    for (uint32_t index = 1; index <= count; ++index) {
        if (!fits(slice->size, offset, kLoadCommandMinimum))
            return;
        VZRMachOLoadCommand command;
        command.bytes = start + offset;
        command.swapped = header.swapped;
        command.type = commandWord(command, 0);
        command.size = commandWord(command, 4);
        command.index = index;
        if (command.size < kLoadCommandMinimum || !fits(slice->size, offset, command.size))
            return;
        block(command);
        offset += command.size;
    }
}

const char* VZRMachOArchitectureName(const VZRMachOSliceInfo* slice) {
    if (!slice)
        return "unknown";
    const int32_t type = slice->cputype;
    const int32_t subtype = slice->cpusubtype;
    if (type == kCPUTypeARM && subtype == 11)
        return "armv7s";
    if (type == kCPUTypeARM && subtype == 12)
        return "armv7k";
    if (type == kCPUTypeARM64 && subtype == 2)
        return "arm64e";
    if (type == kCPUTypeARM64 && subtype == 0)
        return "arm64";
    const char* name = plat::architectureName(type, subtype);
    return name ? name : "unknown";
}

bool VZRMachOSliceIs64Bit(const VZRMachOSliceInfo* slice) {
    return slice && (slice->cputype & 0x01000000) != 0;
}

const uint8_t* VZRMachOLoadCommandUUIDBytes(const VZRMachOLoadCommand& command) {
    if (!command.bytes || command.type != kVZRLoadCommandUUID || command.size < 24)
        return nullptr;
    return command.bytes + 8;
}

const char* VZRMachOLoadCommandDylibPath(const VZRMachOLoadCommand& command) {
    if (!command.bytes || command.type != kVZRLoadCommandLoadDylib || command.size < 12)
        return nullptr;
    const uint32_t offset = commandWord(command, 8);
    if (offset >= command.size)
        return nullptr;
    const auto* path = reinterpret_cast<const char*>(command.bytes + offset);
    if (!std::memchr(path, '\0', command.size - offset))
        return nullptr;
    return path;
}

bool VZRMachOLoadCommandIsEncrypted(const VZRMachOLoadCommand& command) {
    if (!command.bytes || command.type != kVZRLoadCommandEncryptionInfo || command.size < 20)
        return false;
    return commandWord(command, 16) != 0;
}

bool VZRMachOLoadCommandIsVersionMinimum(uint32_t type) {
    return type == kVZRLoadCommandVersionMinMacOSX || type == kVZRLoadCommandVersionMinIPhoneOS ||
           type == kVZRLoadCommandVersionMinTVOS || type == kVZRLoadCommandVersionMinWatchOS;
}

VZRMachOVersion VZRMachOVersionFromWord(uint32_t v) {
    return {v >> 16, (v >> 8) & 0xFF, v & 0xFF};
}

VZRMachOVersion VZRMachOLoadCommandMinimumOSVersion(const VZRMachOLoadCommand& command) {
    if (!command.bytes || !VZRMachOLoadCommandIsVersionMinimum(command.type) || command.size < 16)
        return {};
    return VZRMachOVersionFromWord(commandWord(command, 8));
}

VZRMachOVersion VZRMachOLoadCommandSDKVersion(const VZRMachOLoadCommand& command) {
    if (!command.bytes || !VZRMachOLoadCommandIsVersionMinimum(command.type) || command.size < 16)
        return {};
    return VZRMachOVersionFromWord(commandWord(command, 12));
}

void VZRMachOUUIDString(const uint8_t uuid[16], char out[33]) {
    ZUVHexEncode(uuid, 16, out);
}

bool VZRMachOVersionString(const VZRMachOVersion* version, char* out, size_t outSize) {
    if (!out || outSize == 0)
        return false;
    out[0] = '\0';
    if (!version)
        return false;
    std::snprintf(out, outSize, "%d.%d.%d", static_cast<int>(version->major), static_cast<int>(version->minor),
                  static_cast<int>(version->bugfix));
    return true;
}
