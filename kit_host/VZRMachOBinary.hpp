#pragma once
// The executable reader's object layer: an executable file with its slices, one slice's UUID, libraries
// and OS versions, a debug-symbol package and a code-mapping record. Built over the plain functions of
// VZRMachO.hpp; a binary keeps its file mapped for its whole life.

#include "kit_host/VZRMachO.hpp"
#include "platform/foundation/Bundle.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class VZRMachOSlice {
public:
    // The slice of the running executable's in-memory header (none here, so an empty slice).
    static std::shared_ptr<VZRMachOSlice> runningSlice();
    explicit VZRMachOSlice(const VZRMachOSliceInfo& slice);

    const VZRMachOSliceInfo& slice() const { return slice_; }
    std::string architectureName() const;
    const std::optional<std::string>& uuid() const { return uuid_; }
    const std::vector<std::string>& linkedDylibs() const { return linkedDylibs_; }
    VZRMachOVersion minimumOSVersion() const { return minimumOSVersion_; }
    VZRMachOVersion linkedSDKVersion() const { return linkedSDKVersion_; }

private:
    VZRMachOSliceInfo slice_;
    std::optional<std::string> uuid_;
    std::vector<std::string> linkedDylibs_;
    VZRMachOVersion minimumOSVersion_;
    VZRMachOVersion linkedSDKVersion_;
};

class VZRMachOBinary {
public:
    // Null when the file cannot be mapped.
    static std::shared_ptr<VZRMachOBinary> MachOBinaryWithPath(const std::string& path);
    // `url` is a file URL ("file:///...") or a plain path.
    static std::shared_ptr<VZRMachOBinary> initWithURL(const std::string& url);
    VZRMachOBinary() = default; // empty; use the factories
    ~VZRMachOBinary();
    VZRMachOBinary(const VZRMachOBinary&) = delete;
    VZRMachOBinary& operator=(const VZRMachOBinary&) = delete;

    const std::string& URL() const { return url_; }
    std::string path() const;
    const std::vector<std::shared_ptr<VZRMachOSlice>>& slices() const { return slices_; }
    // SHA-1 of the slices' UUIDs in architecture-name order; computed once.
    std::string instanceIdentifier() const;
    void enumerateUUIDs(const std::function<void(const std::string& uuid, const std::string& arch)>& block) const;
    std::shared_ptr<VZRMachOSlice> sliceForArchitecture(std::string_view name) const;
    static std::string hashNSString(std::string_view text);

private:
    std::string url_;
    VZRMachOFile file_;
    std::vector<std::shared_ptr<VZRMachOSlice>> slices_;
    mutable std::once_flag identifierOnce_;
    mutable std::string instanceIdentifier_;
};

class VZRdSYM {
public:
    // Null unless the package has a non-empty Contents/Resources/DWARF folder.
    static std::shared_ptr<VZRdSYM> dSYMWithURL(const std::string& url);
    static std::shared_ptr<VZRdSYM> initWithURL(const std::string& url) { return dSYMWithURL(url); }
    VZRdSYM() = default; // empty; use the factories

    const std::shared_ptr<VZRMachOBinary>& binary() const { return binary_; }
    const plat::Bundle& bundle() const { return *bundle_; }
    std::optional<std::string> bundleIdentifier() const;
    std::optional<std::string> bundleVersion() const;
    std::optional<std::string> shortBundleVersion() const;
    std::optional<std::string> executableURL() const;
    std::optional<std::string> executablePath() const;
    void enumerateUUIDs(const std::function<void(const std::string& uuid, const std::string& arch)>& block) const;

private:
    std::shared_ptr<VZRMachOBinary> binary_;
    std::shared_ptr<plat::Bundle> bundle_;
};

class VZRCodeMapping {
public:
    static std::shared_ptr<VZRCodeMapping> mappingWithURL(std::string url) {
        return std::make_shared<VZRCodeMapping>(std::move(url));
    }
    explicit VZRCodeMapping(std::string url) : url_(std::move(url)) {}

    const std::string& URL() const { return url_; }
    int32_t source() const { return source_; }
    void setSource(int32_t source) { source_ = source; }
    const std::optional<std::string>& sourceName() const { return sourceName_; }

private:
    std::string url_;
    int32_t source_ = 0;
    std::optional<std::string> sourceName_;
};

// "file:///a/b" gives "/a/b"; anything else is taken as a path.
std::string VZRPathFromFileURL(std::string_view url);
