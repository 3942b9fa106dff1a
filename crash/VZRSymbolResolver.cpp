#include "crash/VZRSymbolResolver.hpp"

#include "crash/capture/VZRFile.hpp"

#include "platform/foundation/Console.hpp"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {

const plat::Value* resolverNumberField(const plat::Dictionary& entry, const char* key) {
    const plat::Value* value = entry.find(key);
    return value && value->isInteger() ? value : nullptr;
}

std::string resolverLastPathComponent(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Function symbols of the ELF file at `path` from ".symtab" and ".dynsym", sorted by value; an unreadable or
// foreign file gives none. The file is mapped read-only only while it is read.
std::vector<VZRSymbolResolver::FileSymbol> resolverReadFileSymbols(const std::string& path) {
    std::vector<VZRSymbolResolver::FileSymbol> symbols;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return symbols;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(sizeof(ElfW(Ehdr)))) {
        ::close(fd);
        return symbols;
    }
    const size_t length = static_cast<size_t>(st.st_size);
    void* mapped = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (mapped == MAP_FAILED)
        return symbols;
    const auto* bytes = static_cast<const uint8_t*>(mapped);
    const auto inFile = [length](uint64_t offset, uint64_t size) {
        return offset <= length && size <= length - offset;
    };
    const auto* header = reinterpret_cast<const ElfW(Ehdr)*>(bytes);
    const bool isElf = std::memcmp(header->e_ident, ELFMAG, SELFMAG) == 0 && header->e_ident[EI_CLASS] == (sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32) &&
                       header->e_shentsize == sizeof(ElfW(Shdr)) &&
                       inFile(header->e_shoff, uint64_t{header->e_shnum} * sizeof(ElfW(Shdr)));
    if (isElf) {
        const auto* sections = reinterpret_cast<const ElfW(Shdr)*>(bytes + header->e_shoff);
        for (size_t i = 0; i < header->e_shnum; ++i) {
            const ElfW(Shdr)& table = sections[i];
            if ((table.sh_type != SHT_SYMTAB && table.sh_type != SHT_DYNSYM) || table.sh_link >= header->e_shnum ||
                !inFile(table.sh_offset, table.sh_size))
                continue;
            const ElfW(Shdr)& strings = sections[table.sh_link];
            if (!inFile(strings.sh_offset, strings.sh_size))
                continue;
            const auto* names = reinterpret_cast<const char*>(bytes + strings.sh_offset);
            const auto* entries = reinterpret_cast<const ElfW(Sym)*>(bytes + table.sh_offset);
            const size_t count = table.sh_size / sizeof(ElfW(Sym));
            for (size_t k = 0; k < count; ++k) {
                const ElfW(Sym)& sym = entries[k];
                if (ELF64_ST_TYPE(sym.st_info) != STT_FUNC || sym.st_shndx == SHN_UNDEF || sym.st_value == 0 ||
                    sym.st_name >= strings.sh_size)
                    continue;
                const char* name = names + sym.st_name;
                const size_t nameLength = ::strnlen(name, strings.sh_size - sym.st_name);
                if (nameLength == 0 || nameLength == strings.sh_size - sym.st_name)
                    continue;
                symbols.push_back({sym.st_value, sym.st_size, std::string(name, nameLength)});
            }
        }
    }
    ::munmap(mapped, length);
    std::sort(symbols.begin(), symbols.end(),
              [](const auto& a, const auto& b) { return a.value < b.value || (a.value == b.value && a.name < b.name); });
    return symbols;
}

} // namespace

bool VZRSymbolResolver::loadBinaryImagesFromFile(const std::string& path) {
    if (path.empty())
        return false;
    const auto lines = VZRFileReadSections(path.c_str(), false);
    if (!lines || lines->empty()) {
        plat::NSLogText("[Vuzidorazav:Crash:SymbolResolver] failed to read binary image file " + path);
        return false;
    }
    binaryImages.clear();
    for (const plat::Value& line : *lines) {
        const plat::Value* load = line.find("load");
        if (!load || !load->isDictionary())
            continue;
        const plat::Dictionary& entry = load->asDictionary();
        if (resolverNumberField(entry, "base") && resolverNumberField(entry, "size"))
            binaryImages.push_back(entry);
    }
    std::stable_sort(binaryImages.begin(), binaryImages.end(), [](const plat::Dictionary& a, const plat::Dictionary& b) {
        return resolverNumberField(a, "base")->asUInt64() < resolverNumberField(b, "base")->asUInt64();
    });
    return true;
}

std::optional<plat::Dictionary> VZRSymbolResolver::loadedBinaryImageForPC(uint64_t pc) const {
    for (const plat::Dictionary& entry : binaryImages) {
        const uint64_t base = resolverNumberField(entry, "base")->asUInt64();
        const uint64_t size = resolverNumberField(entry, "size")->asUInt64();
        if (base <= pc && pc - base < size)
            return entry;
    }
    return std::nullopt;
}

bool VZRSymbolResolver::fillInImageDetails(VZRBinaryImageDetails* details, const std::optional<std::string>& uuid) const {
    if (!details || !uuid)
        return false;
    return VZRBinaryImageFindImageForUUID(uuid->c_str(), details);
}

const std::vector<VZRSymbolResolver::FileSymbol>& VZRSymbolResolver::fileSymbols(const std::string& path) {
    auto found = symbolsByPath_.find(path);
    if (found == symbolsByPath_.end())
        found = symbolsByPath_.emplace(path, resolverReadFileSymbols(path)).first;
    return found->second;
}

bool VZRSymbolResolver::lookUp(uintptr_t address, const VZRBinaryImageDetails& image, Lookup* result) {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(address), &info) == 0)
        return false;
    if (info.dli_sname && info.dli_saddr) {
        result->name = info.dli_sname;
        result->start = reinterpret_cast<uintptr_t>(info.dli_saddr);
        return true;
    }
    // Not exported: the nearest function at or below the address in the image file's own tables.
    result->name.reset();
    result->start = 0;
    const std::string path = info.dli_fname && info.dli_fname[0] ? info.dli_fname : image.path;
    const std::vector<FileSymbol>& symbols = fileSymbols(path);
    const uint64_t value = address - static_cast<uintptr_t>(image.slide);
    auto above = std::upper_bound(symbols.begin(), symbols.end(), value,
                                  [](uint64_t v, const FileSymbol& s) { return v < s.value; });
    if (above != symbols.begin()) {
        const FileSymbol& nearest = *std::prev(above);
        result->name = nearest.name;
        result->start = static_cast<uintptr_t>(nearest.value) + static_cast<uintptr_t>(image.slide);
    }
    return true;
}

bool VZRSymbolResolver::updateStackFrame(VZRStackFrame& frame, bool exactAddress) {
    if (frame.address == 0)
        return false;
    const auto entry = loadedBinaryImageForPC(frame.address);
    if (!entry)
        return false;
    const plat::Value* uuidValue = entry->find("uuid");
    if (!uuidValue || !uuidValue->isString())
        return false;
    const std::string& uuid = uuidValue->asString();
    auto known = imagesByUUID_.find(uuid);
    if (known == imagesByUUID_.end()) {
        VZRBinaryImageDetails details;
        if (!fillInImageDetails(&details, uuid))
            return false;
        known = imagesByUUID_.emplace(uuid, std::move(details)).first;
    }
    const VZRBinaryImageDetails& image = known->second;
    const uint64_t base = resolverNumberField(*entry, "base")->asUInt64();
    uintptr_t address = static_cast<uintptr_t>(frame.address - base + image.loadAddress);

    Lookup symbol;
    if (!lookUp(address, image, &symbol))
        return false;
    if (!exactAddress && symbol.start != 0 && address == symbol.start) {
        // A return address at a function's first byte follows a call that never returns: the call belongs
        // to the function before.
        address -= 2;
        if (!lookUp(address, image, &symbol))
            return false;
    }
    if (symbol.name) {
        frame.symbol = symbol.name;
        frame.rawSymbol = symbol.name;
    }
    if (symbol.start != 0 && address > symbol.start)
        frame.offset = address - symbol.start;
    const plat::Value* path = entry->find("path");
    if (path && path->isString())
        frame.library = resolverLastPathComponent(path->asString());
    return true;
}

std::shared_ptr<VZRStackFrame> VZRSymbolResolver::frameForAddress(uint64_t address, bool exactAddress) {
    auto frame = std::make_shared<VZRStackFrame>(VZRStackFrame::stackFrameWithAddress(address));
    if (!updateStackFrame(*frame, exactAddress))
        return nullptr;
    return frame;
}
