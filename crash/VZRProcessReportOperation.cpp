#include "crash/VZRProcessReportOperation.hpp"

#include "crash/capture/VZRFile.hpp"

#include "platform/foundation/Console.hpp"

void VZRSymbolicationOperation::main() {
    if (!symbolResolver)
        return;
    // The first frame of a thread is its program counter; every later one is a return address.
    enumerateFramesWithBlock([this](VZRStackFrame& frame, size_t index) {
        symbolResolver->updateStackFrame(frame, index == 0);
    });
}

void VZRSerializeSymbolicatedFramesOperation::main() {
    VZRFile file;
    if (!VZRFileInitWithPathMode(&file, outputPath.c_str(), false, true)) {
        plat::NSLogText("[Vuzidorazav:Crash:Symbolication] Failed to create output file");
        return;
    }
    const auto optionalText = [](const std::optional<std::string>& text) { return text ? text->c_str() : nullptr; };
    VZRFileBeginSection(&file, "threads");
    VZRFileBeginArray(&file);
    for (const auto& thread : threadArray) {
        VZRFileBeginArray(&file);
        for (const auto& frame : thread) {
            if (!frame)
                continue;
            VZRFileBeginObject(&file);
            VZRFileWriteStringField(&file, "symbol", optionalText(frame->symbol));
            // Two missing names count as different: an unresolved frame carries both nulls.
            if (!frame->rawSymbol || !frame->symbol || *frame->rawSymbol != *frame->symbol)
                VZRFileWriteStringField(&file, "raw_symbol", optionalText(frame->rawSymbol));
            VZRFileWriteUnsignedField(&file, "offset", frame->offset);
            VZRFileWriteStringField(&file, "library", optionalText(frame->library));
            VZRFileEndObject(&file);
        }
        VZRFileEndArray(&file);
    }
    VZRFileEndArray(&file);
    VZRFileEndSection(&file);
    VZRFileClose(&file);
}

VZRProcessReportOperation::VZRProcessReportOperation(std::shared_ptr<VZRInternalReport> report,
                                                     std::shared_ptr<VZRSymbolResolver> resolver)
    : report_(std::move(report)), resolver_(std::move(resolver)) {}

std::shared_ptr<VZRProcessReportOperation> VZRProcessReportOperation::initWithReport(
    std::shared_ptr<VZRInternalReport> report, std::shared_ptr<VZRSymbolResolver> resolver) {
    return std::make_shared<VZRProcessReportOperation>(std::move(report), std::move(resolver));
}

void VZRProcessReportOperation::main() {
    if (!report_ || !resolver_ || !resolver_->loadBinaryImagesFromFile(binaryImagePath()))
        return;
    report_->enumerateSymbolicatableFilesInContent([this](const std::string& path) { symbolicateFile(path, resolver_); });
}

std::optional<VZRThreadArray> VZRProcessReportOperation::threadArrayFromFile(const std::string& path) const {
    const auto threads = VZRFileReadSections(path.c_str(), false, [](const plat::Value& line) -> std::optional<plat::Value> {
        const plat::Value* value = line.find("threads");
        if (!value)
            return std::nullopt;
        return *value;
    });
    if (!threads || threads->empty())
        return std::nullopt;
    VZRThreadArray result;
    const plat::Value& first = threads->front();
    if (!first.isArray())
        return result;
    for (const plat::Value& thread : first.asArray()) {
        std::vector<std::shared_ptr<VZRStackFrame>> frames;
        const plat::Value* stack = thread.isDictionary() ? thread.find("stacktrace") : nullptr;
        if (stack && stack->isArray()) {
            for (const plat::Value& address : stack->asArray())
                frames.push_back(std::make_shared<VZRStackFrame>(VZRStackFrame::stackFrameWithAddress(
                    address.isInteger() ? address.asUInt64() : 0)));
        }
        result.push_back(std::move(frames));
    }
    return result;
}

bool VZRProcessReportOperation::symbolicateFile(const std::string& path,
                                                const std::shared_ptr<VZRSymbolResolver>& resolver) {
    auto threads = threadArrayFromFile(path);
    if (!threads)
        return false;
    auto symbolication = std::make_shared<VZRSymbolicationOperation>();
    symbolication->threadArray = *threads;
    symbolication->symbolResolver = resolver;
    auto demangling = std::make_shared<VZRDemangleOperation>();
    demangling->threadArray = *threads;
    auto serialization = std::make_shared<VZRSerializeSymbolicatedFramesOperation>();
    serialization->threadArray = *threads;
    serialization->outputPath = path + ".symbolicated";
    symbolication->start();
    demangling->start();
    serialization->start();
    return true;
}
