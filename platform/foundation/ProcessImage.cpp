#include "platform/foundation/ProcessImage.hpp"

#include "platform/foundation/NeverDestroyed.hpp"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string_view>

namespace plat {

namespace {

struct PathOverride {
    std::mutex mutex;
    std::optional<std::string> path;
};

PathOverride& pathOverride() {
    static NeverDestroyed<PathOverride> p;
    return *p;
}

constexpr std::int32_t kABI64 = 0x01000000;
constexpr std::int32_t kX86 = 7;
constexpr std::int32_t kARM = 12;
constexpr std::int32_t kPowerPC = 18;

// The names the device's architecture information gives, by cpu type and subtype.
constexpr ArchitectureInfo kArchitectureTable[] = {
    {"i386", kX86, 3},
    {"i486", kX86, 4},
    {"i486SX", kX86, 0x84},
    {"pentium", kX86, 5},
    {"pentpro", kX86, 0x16},
    {"pentIIm3", kX86, 0x36},
    {"pentIIm5", kX86, 0x56},
    {"pentium4", kX86, 0x0A},
    {"x86_64", kX86 | kABI64, 3},
    {"x86_64h", kX86 | kABI64, 8},
    {"ppc", kPowerPC, 0},
    {"ppc601", kPowerPC, 1},
    {"ppc603", kPowerPC, 3},
    {"ppc604", kPowerPC, 5},
    {"ppc750", kPowerPC, 9},
    {"ppc7400", kPowerPC, 10},
    {"ppc7450", kPowerPC, 11},
    {"ppc970", kPowerPC, 100},
    {"ppc64", kPowerPC | kABI64, 0},
    {"ppc970-64", kPowerPC | kABI64, 100},
    {"arm", kARM, 0},
    {"armv4t", kARM, 5},
    {"armv6", kARM, 6},
    {"armv5", kARM, 7},
    {"xscale", kARM, 8},
    {"armv7", kARM, 9},
    {"armv7f", kARM, 10},
    {"armv7s", kARM, 11},
    {"armv7k", kARM, 12},
    {"armv8", kARM, 13},
    {"armv6m", kARM, 14},
    {"armv7m", kARM, 15},
    {"armv7em", kARM, 16},
    {"arm64", kARM | kABI64, 0},
    {"arm64v8", kARM | kABI64, 1},
    {"arm64e", kARM | kABI64, 2},
    {"arm64_32", kARM | 0x02000000, 1},
};

template <class T> bool readAt(std::span<const std::uint8_t> image, std::uint64_t offset, T& out) {
    if (offset > image.size() || image.size() - offset < sizeof(T))
        return false;
    std::memcpy(&out, image.data() + offset, sizeof(T));
    return true;
}

const char* elfMachineName(std::uint16_t machine) {
    switch (machine) {
    case EM_X86_64:
        return "x86_64";
    case EM_386:
        return "i386";
    case EM_AARCH64:
        return "arm64";
    case EM_ARM:
        return "armv7";
    default:
        return "unknown";
    }
}

// Walks the notes of one segment for the GNU build-id.
std::optional<std::array<std::uint8_t, 16>> buildIdInNotes(std::span<const std::uint8_t> image,
                                                           std::uint64_t offset, std::uint64_t size) {
    if (offset > image.size() || size > image.size() - offset)
        return std::nullopt;
    const std::span<const std::uint8_t> notes = image.subspan(offset, size);
    std::uint64_t at = 0;
    while (true) {
        Elf64_Nhdr header; // the note header is three 32-bit words in both classes
        if (!readAt(notes, at, header))
            return std::nullopt;
        at += sizeof header;
        const std::uint64_t nameSize = (std::uint64_t{header.n_namesz} + 3) & ~std::uint64_t{3};
        const std::uint64_t descSize = (std::uint64_t{header.n_descsz} + 3) & ~std::uint64_t{3};
        if (nameSize > notes.size() - at)
            return std::nullopt;
        const std::uint64_t descAt = at + nameSize;
        if (descSize > notes.size() - descAt || header.n_descsz > notes.size() - descAt)
            return std::nullopt;
        if (header.n_type == NT_GNU_BUILD_ID && header.n_namesz == 4 &&
            std::memcmp(notes.data() + at, "GNU", 4) == 0) {
            std::array<std::uint8_t, 16> uuid{};
            std::memcpy(uuid.data(), notes.data() + descAt, std::min<std::uint64_t>(16, header.n_descsz));
            return uuid;
        }
        at = descAt + descSize;
    }
}

template <class Ehdr, class Phdr>
std::optional<ExecutableIdentity> identityOf(std::span<const std::uint8_t> image) {
    Ehdr header;
    if (!readAt(image, 0, header))
        return std::nullopt;
    ExecutableSlice slice{elfMachineName(header.e_machine), std::nullopt};
    if (header.e_phentsize == sizeof(Phdr)) {
        for (std::uint64_t i = 0; i < header.e_phnum && !slice.uuid; ++i) {
            Phdr segment;
            if (!readAt(image, header.e_phoff + i * sizeof(Phdr), segment))
                break;
            if (segment.p_type == PT_NOTE)
                slice.uuid = buildIdInNotes(image, segment.p_offset, segment.p_filesz);
        }
    }
    ExecutableIdentity identity;
    identity.slices.push_back(std::move(slice));
    return identity;
}

} // namespace

std::string executablePath() {
    {
        std::lock_guard lock(pathOverride().mutex);
        if (pathOverride().path)
            return *pathOverride().path;
    }
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return "/proc/self/exe";
    return std::string(buffer, static_cast<size_t>(n));
}

const char* imagePathContaining(const void* address) {
    Dl_info info{};
    if (!address || ::dladdr(address, &info) == 0)
        return nullptr;
    return info.dli_fname;
}

const void* mainExecutableHeader() {
    return nullptr;
}

std::span<const ArchitectureInfo> architectureTable() {
    return kArchitectureTable;
}

const char* architectureName(std::int32_t cputype, std::int32_t cpusubtype) {
    const std::int32_t subtype = cpusubtype & 0x00FFFFFF;
    for (const ArchitectureInfo& row : kArchitectureTable) {
        if (row.cputype == cputype && row.cpusubtype == subtype)
            return row.name;
    }
    return nullptr;
}

ArchitectureInfo localArchitecture() {
#if defined(__x86_64__)
    return {"x86_64", kX86 | kABI64, 3};
#elif defined(__i386__)
    return {"i386", kX86, 3};
#elif defined(__aarch64__)
    return {"arm64", kARM | kABI64, 0};
#elif defined(__arm__)
    return {"armv7", kARM, 9};
#else
    return {"unknown", 0, 0};
#endif
}

std::optional<ExecutableIdentity> elfIdentity(std::span<const std::uint8_t> image) {
    if (image.size() < EI_NIDENT || std::memcmp(image.data(), ELFMAG, SELFMAG) != 0 ||
        image[EI_DATA] != ELFDATA2LSB)
        return std::nullopt;
    if (image[EI_CLASS] == ELFCLASS64)
        return identityOf<Elf64_Ehdr, Elf64_Phdr>(image);
    if (image[EI_CLASS] == ELFCLASS32)
        return identityOf<Elf32_Ehdr, Elf32_Phdr>(image);
    return std::nullopt;
}

std::optional<ExecutableIdentity> executableIdentity() {
    const int fd = ::open(executablePath().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat st {};
    std::optional<ExecutableIdentity> identity;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        void* map = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
        if (map != MAP_FAILED) {
            identity = elfIdentity({static_cast<const std::uint8_t*>(map), static_cast<size_t>(st.st_size)});
            ::munmap(map, static_cast<size_t>(st.st_size));
        }
    }
    ::close(fd);
    return identity;
}

void sim::ProcessImage::setExecutablePath(std::optional<std::string> path) {
    std::lock_guard lock(pathOverride().mutex);
    pathOverride().path = std::move(path);
}

} // namespace plat
