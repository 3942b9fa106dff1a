#pragma once
// Turns addresses recorded by a crashed process into names: the images it had loaded ("load" lines of its
// binary-image record file) are found again in this process by UUID, each address is translated into this
// process and the dynamic loader names the nearest symbol. Functions the loader does not export (static
// functions, or an executable linked without exported symbols) are named from the image file's own symbol
// tables.

#include "crash/capture/VZRBinaryImage.hpp"
#include "crash/capture/VZRStackFrame.hpp"

#include "platform/foundation/Value.hpp"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class VZRSymbolResolver {
public:
    // The kept "load" entries, sorted by "base".
    std::vector<plat::Dictionary> binaryImages;

    // False for an empty path or a file that yields no lines (with a console line); otherwise true, even
    // when no entry has both a "base" and a "size".
    bool loadBinaryImagesFromFile(const std::string& path);
    // The first entry with base <= pc < base + size.
    std::optional<plat::Dictionary> loadedBinaryImageForPC(uint64_t pc) const;
    bool fillInImageDetails(VZRBinaryImageDetails* details, const std::optional<std::string>& uuid) const;

    // `exactAddress` marks an address that is a program counter, not a return address: only a return address
    // at a symbol's very start belongs to the call before it (a call to a function that never returns).
    bool updateStackFrame(VZRStackFrame& frame, bool exactAddress = false);
    std::shared_ptr<VZRStackFrame> frameForAddress(uint64_t address, bool exactAddress = false);

    // The image file's symbol table, one name per start address (relative to the image's slide).
    struct FileSymbol {
        uint64_t value = 0;
        uint64_t size = 0;
        std::string name;
    };

private:
    struct Lookup {
        std::optional<std::string> name;
        uintptr_t start = 0;
    };
    bool lookUp(uintptr_t address, const VZRBinaryImageDetails& image, Lookup* result);
    const std::vector<FileSymbol>& fileSymbols(const std::string& path);

    std::map<std::string, VZRBinaryImageDetails> imagesByUUID_;
    std::map<std::string, std::vector<FileSymbol>> symbolsByPath_;
};
