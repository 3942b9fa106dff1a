#include "kit_host/VZRMachOBinary.hpp"

#include "kit_host/ZUVUtilities.hpp"
#include "platform/foundation/FileManager.hpp"

#include <algorithm>

namespace {
constexpr std::string_view kFileScheme = "file://";
constexpr std::string_view kDSYMIdentifierPrefix = "com.apple.xcode.dsym.";
} // namespace

std::string VZRPathFromFileURL(std::string_view url) {
    if (url.starts_with(kFileScheme))
        url.remove_prefix(kFileScheme.size());
    return std::string(url);
}

std::shared_ptr<VZRMachOSlice> VZRMachOSlice::runningSlice() {
    return std::make_shared<VZRMachOSlice>(VZRMachOExecutableHeader());
}

VZRMachOSlice::VZRMachOSlice(const VZRMachOSliceInfo& slice) : slice_(slice) {
    VZRMachOSliceEnumerateLoadCommands(&slice_, [this](const VZRMachOLoadCommand& command) {
        if (command.type == kVZRLoadCommandLoadDylib) {
            if (const char* path = VZRMachOLoadCommandDylibPath(command))
                linkedDylibs_.emplace_back(path);
        } else if (command.type == kVZRLoadCommandUUID) {
            if (const uint8_t* bytes = VZRMachOLoadCommandUUIDBytes(command)) {
                char text[33];
                VZRMachOUUIDString(bytes, text);
                uuid_ = text;
            }
        } else if (VZRMachOLoadCommandIsVersionMinimum(command.type)) {
            minimumOSVersion_ = VZRMachOLoadCommandMinimumOSVersion(command);
            linkedSDKVersion_ = VZRMachOLoadCommandSDKVersion(command);
        }
    });
}

std::string VZRMachOSlice::architectureName() const {
    return VZRMachOArchitectureName(&slice_);
}

std::shared_ptr<VZRMachOBinary> VZRMachOBinary::MachOBinaryWithPath(const std::string& path) {
    return initWithURL(std::string(kFileScheme) + path);
}

std::shared_ptr<VZRMachOBinary> VZRMachOBinary::initWithURL(const std::string& url) {
    auto binary = std::make_shared<VZRMachOBinary>();
    binary->url_ = url.starts_with(kFileScheme) ? url : std::string(kFileScheme) + url;
    if (!VZRMachOFileMap(&binary->file_, binary->path().c_str()))
        return nullptr;
    VZRMachOFileEnumerateSlices(&binary->file_, [&binary](VZRMachOSliceInfo* slice) {
        binary->slices_.push_back(std::make_shared<VZRMachOSlice>(*slice));
    });
    return binary;
}

VZRMachOBinary::~VZRMachOBinary() {
    VZRMachOFileUnmap(&file_);
}

std::string VZRMachOBinary::path() const {
    return VZRPathFromFileURL(url_);
}

std::string VZRMachOBinary::instanceIdentifier() const {
    std::call_once(identifierOnce_, [this] {
        std::vector<std::shared_ptr<VZRMachOSlice>> sorted = slices_;
        std::stable_sort(sorted.begin(), sorted.end(),
                         [](const auto& a, const auto& b) { return a->architectureName() < b->architectureName(); });
        std::string joined;
        for (const auto& slice : sorted)
            joined += slice->uuid().value_or("");
        instanceIdentifier_ = hashNSString(joined);
    });
    return instanceIdentifier_;
}

void VZRMachOBinary::enumerateUUIDs(
    const std::function<void(const std::string& uuid, const std::string& arch)>& block) const {
    for (const auto& slice : slices_)
        block(slice->uuid().value_or(""), slice->architectureName());
}

std::shared_ptr<VZRMachOSlice> VZRMachOBinary::sliceForArchitecture(std::string_view name) const {
    for (const auto& slice : slices_) {
        if (slice->architectureName() == name)
            return slice;
    }
    return nullptr;
}

std::string VZRMachOBinary::hashNSString(std::string_view text) {
    return ZUVSHA1HexOfBytes(text.data(), text.size());
}

std::shared_ptr<VZRdSYM> VZRdSYM::dSYMWithURL(const std::string& url) {
    const std::string path = VZRPathFromFileURL(url);
    auto& fm = plat::FileManager::defaultManager();
    if (path.empty() || !fm.fileExists(path))
        return nullptr;
    const std::string dwarf = path + "/Contents/Resources/DWARF";
    bool isDirectory = false;
    if (!fm.fileExists(dwarf, &isDirectory) || !isDirectory)
        return nullptr;
    auto entries = fm.contentsOfDirectory(dwarf);
    if (!entries || entries->empty())
        return nullptr;
    auto dsym = std::make_shared<VZRdSYM>();
    // A package keeps its Info.plist under Contents/, where the platform's bundle type finds it.
    const bool packaged = fm.fileExists(path + "/Contents/Info.plist");
    dsym->bundle_ = std::make_shared<plat::Bundle>(packaged ? path + "/Contents" : path);
    dsym->binary_ = VZRMachOBinary::MachOBinaryWithPath(dwarf + "/" + entries->front());
    return dsym;
}

std::optional<std::string> VZRdSYM::bundleIdentifier() const {
    auto identifier = bundle_->bundleIdentifier();
    if (identifier && identifier->starts_with(kDSYMIdentifierPrefix))
        identifier->erase(0, kDSYMIdentifierPrefix.size());
    return identifier;
}

std::optional<std::string> VZRdSYM::bundleVersion() const {
    return bundle_->version();
}

std::optional<std::string> VZRdSYM::shortBundleVersion() const {
    return bundle_->shortVersionString();
}

std::optional<std::string> VZRdSYM::executableURL() const {
    if (!binary_)
        return std::nullopt;
    return binary_->URL();
}

std::optional<std::string> VZRdSYM::executablePath() const {
    if (!binary_)
        return std::nullopt;
    return binary_->path();
}

void VZRdSYM::enumerateUUIDs(
    const std::function<void(const std::string& uuid, const std::string& arch)>& block) const {
    if (binary_)
        binary_->enumerateUUIDs(block);
}
