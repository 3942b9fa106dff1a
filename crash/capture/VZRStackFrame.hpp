#pragma once
// One frame of a stack trace, as the exception records and the report processing pass them around, and the
// demangling of the names they carry.

#include "platform/dispatch/Operation.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class VZRStackFrame {
public:
    static VZRStackFrame stackFrame() { return {}; }
    static VZRStackFrame stackFrameWithAddress(uint64_t address);
    // Sets the symbol and the raw symbol to the same name.
    static VZRStackFrame stackFrameWithSymbol(const std::string& symbol);

    uint64_t address = 0;                  // the program counter or return address as recorded
    std::optional<std::string> symbol;     // the name shown, demangled where possible
    std::optional<std::string> rawSymbol;  // the name as the dynamic loader gave it
    std::optional<std::string> library;    // the last path component of the image holding the address
    uint64_t offset = 0;                   // from the symbol's start
    std::optional<std::string> fileName;
    uint32_t lineNumber = 0;

    // "{[0x%llx] %@ - %@:%u}" with a file name, else "{[0x%llx + %u] %@}".
    std::string description() const;
};

// One inner array per thread, in recorded order. The frames are shared: every operation given a copy of the
// same array works on the same frame objects.
using VZRThreadArray = std::vector<std::vector<std::shared_ptr<VZRStackFrame>>>;

// An operation over every frame of a thread array, configured through its fields before it is started.
class VZRThreadArrayOperation : public plat::Operation {
public:
    VZRThreadArray threadArray;

    // For each thread in order, each frame in order (with its index in its thread). After each call, a
    // cancelled operation skips the rest of that thread and goes on with the next.
    void enumerateFramesWithBlock(const std::function<void(VZRStackFrame& frame, size_t index)>& block);
};

// The demangling of frame names. Each gives none when the name is not one it demangles. As an operation it
// replaces each frame's symbol with its raw symbol demangled, where that gives a name; the raw symbol stays.
class VZRDemangleOperation : public VZRThreadArrayOperation {
public:
    void main() override;
    std::optional<std::string> demangleSymbol(const std::string& symbol) const { return demangleSymbol(symbol.c_str()); }
    // "_Z…" as C++, "__Z…" as a C++ block-invoke name, anything else none.
    static std::optional<std::string> demangleSymbol(const char* symbol);
    static std::optional<std::string> demangleCppSymbol(const char* symbol);
    // "__Z3foov_block_invoke_2" gives "foo()_block_invoke_2".
    static std::optional<std::string> demangleBlockInvokeCppSymbol(const char* symbol);
};
