#include "crash/capture/VZRStackFrame.hpp"

#include <cxxabi.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

VZRStackFrame VZRStackFrame::stackFrameWithAddress(uint64_t address) {
    VZRStackFrame frame;
    frame.address = address;
    return frame;
}

VZRStackFrame VZRStackFrame::stackFrameWithSymbol(const std::string& symbol) {
    VZRStackFrame frame;
    frame.symbol = symbol;
    frame.rawSymbol = symbol;
    return frame;
}

std::string VZRStackFrame::description() const {
    const std::string shownSymbol = symbol.value_or("(null)");
    char head[64];
    if (fileName) {
        std::snprintf(head, sizeof head, "{[0x%" PRIx64 "] ", address);
        return head + *fileName + " - " + shownSymbol + ":" + std::to_string(lineNumber) + "}";
    }
    std::snprintf(head, sizeof head, "{[0x%" PRIx64 " + %u] ", address, lineNumber);
    return head + shownSymbol + "}";
}

std::optional<std::string> VZRDemangleOperation::demangleSymbol(const char* symbol) {
    if (!symbol)
        return std::nullopt;
    if (std::strncmp(symbol, "_Z", 2) == 0)
        return demangleCppSymbol(symbol);
    if (std::strncmp(symbol, "__Z", 3) == 0)
        return demangleBlockInvokeCppSymbol(symbol);
    return std::nullopt;
}

std::optional<std::string> VZRDemangleOperation::demangleCppSymbol(const char* symbol) {
    if (!symbol)
        return std::nullopt;
    int status = 0;
    const std::unique_ptr<char, decltype(&std::free)> demangled(abi::__cxa_demangle(symbol, nullptr, nullptr, &status),
                                                                &std::free);
    if (status != 0 || !demangled)
        return std::nullopt;
    return std::string(demangled.get());
}

std::optional<std::string> VZRDemangleOperation::demangleBlockInvokeCppSymbol(const char* symbol) {
    if (!symbol)
        return std::nullopt;
    static constexpr const char* kMarker = "_block_invoke";
    const std::string name(symbol);
    const size_t at = name.rfind(kMarker);
    if (at == std::string::npos || at < 5)
        return std::nullopt;
    const std::string inner = name.substr(1, at - 1);
    const auto demangled = demangleSymbol(inner.c_str());
    if (!demangled)
        return std::nullopt;
    return *demangled + name.substr(at);
}

void VZRThreadArrayOperation::enumerateFramesWithBlock(
    const std::function<void(VZRStackFrame& frame, size_t index)>& block) {
    for (auto& thread : threadArray) {
        for (size_t i = 0; i < thread.size(); ++i) {
            if (thread[i])
                block(*thread[i], i);
            if (isCancelled())
                break;
        }
    }
}

void VZRDemangleOperation::main() {
    enumerateFramesWithBlock([](VZRStackFrame& frame, size_t) {
        if (!frame.rawSymbol)
            return;
        if (auto demangled = demangleSymbol(frame.rawSymbol->c_str()))
            frame.symbol = std::move(demangled);
    });
}
