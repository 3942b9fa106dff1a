#pragma once
// The processing of an earlier report before it is packaged: each crash record file's stack traces are
// symbolicated, demangled and written beside it as "<record file>.symbolicated".

#include "crash/VZRReport.hpp"
#include "crash/VZRSymbolResolver.hpp"

#include "crash/capture/VZRStackFrame.hpp"

#include "platform/dispatch/Operation.hpp"

#include <memory>
#include <optional>
#include <string>

class VZRSymbolicationOperation : public VZRThreadArrayOperation {
public:
    std::shared_ptr<VZRSymbolResolver> symbolResolver;
    // Frames that cannot be resolved are left as they are.
    void main() override;
};

class VZRSerializeSymbolicatedFramesOperation : public VZRThreadArrayOperation {
public:
    std::string outputPath;
    void main() override;
};

class VZRProcessReportOperation : public plat::Operation {
public:
    VZRProcessReportOperation(std::shared_ptr<VZRInternalReport> report, std::shared_ptr<VZRSymbolResolver> resolver);
    static std::shared_ptr<VZRProcessReportOperation> initWithReport(std::shared_ptr<VZRInternalReport> report,
                                                                     std::shared_ptr<VZRSymbolResolver> resolver);

    const std::shared_ptr<VZRInternalReport>& report() const { return report_; }
    const std::shared_ptr<VZRSymbolResolver>& symbolResolver() const { return resolver_; }
    std::string binaryImagePath() const { return report_->binaryImagePath(); }

    void main() override;
    // The first "threads" section of a record file as frames with addresses only; none without one.
    std::optional<VZRThreadArray> threadArrayFromFile(const std::string& path) const;
    // Symbolicates, demangles and writes "<path>.symbolicated"; false (nothing written) without threads.
    bool symbolicateFile(const std::string& path, const std::shared_ptr<VZRSymbolResolver>& resolver);

private:
    std::shared_ptr<VZRInternalReport> report_;
    std::shared_ptr<VZRSymbolResolver> resolver_;
};
