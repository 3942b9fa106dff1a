#include "kit_host/ZUVAppIconUtility.hpp"

#include "kit_host/ZUVUtilities.hpp"

#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/FileManager.hpp"

#include <algorithm>
#include <cctype>

namespace {

void logMalformedInfoField(std::string_view key) {
    plat::NSLogText("[Zuvadu] Info.plist field " + std::string(key) + " appears malformed");
}

// The text elements of an icon-name array; anything else in it names no file.
std::vector<std::string> iconNamesFromArray(const plat::Array& array) {
    std::vector<std::string> names;
    for (const auto& element : array)
        if (const std::string* name = element.ifString())
            names.push_back(*name);
    return names;
}

} // namespace

ZUVIcon::ZUVIcon(plat::Data data, std::string dataHash, plat::CGSize size, bool prerendered)
    : prerendered_(prerendered), data_(std::move(data)), dataHash_(std::move(dataHash)), size_(size) {}

std::shared_ptr<ZUVIcon> ZUVIcon::initWithData(plat::Data data, plat::CGSize size, bool prerendered) {
    std::string hash = ZUVSHA1HexOfData(data);
    return std::make_shared<ZUVIcon>(std::move(data), std::move(hash), size, prerendered);
}

std::shared_ptr<ZUVIcon> ZUVIcon::initWithPNGImageAtPath(const std::string& path, plat::CGSize size,
                                                         bool prerendered) {
    auto file = plat::readData(path);
    if (!file.ok() || file->empty())
        return nullptr;
    std::string hash = ZUVSHA1HexOfData(*file);
    auto image = plat::UIImage::imageWithContentsOfFile(path);
    if (!image || image->pngRepresentation().empty())
        return nullptr;
    return std::make_shared<ZUVIcon>(image->pngRepresentation(), std::move(hash), size, prerendered);
}

bool ZUVIcon::isWithinMaxSurfaceAreaWithImage(const plat::UIImage& image) {
    const plat::CGSize pixels = ZUVAppIconUtility::sizeForImage(image);
    return pixels.width * pixels.height <= kMaxSurfaceArea;
}

std::shared_ptr<ZUVIcon> ZUVAppIconUtility::applicationIcon() {
    std::lock_guard lock(mutex_);
    if (!fetched_) {
        icon_ = fetchApplicationIcon();
        fetched_ = true;
    }
    return icon_;
}

std::shared_ptr<ZUVIcon> ZUVAppIconUtility::fetchApplicationIcon() const {
    if (auto icon = iconFromIOS7StyleCFBundleIconsInFieldWithKey("CFBundleIcons~ipad"))
        return icon;
    if (auto icon = iconFromIOS7StyleCFBundleIconsInFieldWithKey("CFBundleIcons"))
        return icon;
    if (auto icon = iconFromCFBundleIconFiles())
        return icon;
    if (auto icon = iconFromCFBundleIconFile())
        return icon;
    if (auto icon = iconByFallingBackOnDefaultIconNamingConvention())
        return icon;
    plat::NSLogText("[Zuvadu] Unable to locate application icon");
    return nullptr;
}

std::optional<plat::Dictionary> ZUVAppIconUtility::appInfoDictionary() const {
    return plat::Bundle::main()->infoDictionary();
}

std::string ZUVAppIconUtility::iconRootPath() const {
    return plat::Bundle::main()->bundlePath();
}

plat::CGSize ZUVAppIconUtility::sizeForImage(const plat::UIImage& image) {
    return {image.size().width * image.scale(), image.size().height * image.scale()};
}

bool ZUVAppIconUtility::isIconImageFileNameExtensionPresentInName(std::string_view name) {
    const size_t slash = name.rfind('/');
    const std::string_view last = slash == std::string_view::npos ? name : name.substr(slash + 1);
    const size_t dot = last.rfind('.');
    if (dot == std::string_view::npos || dot == 0)
        return false;
    std::string extension(last.substr(dot + 1));
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension == "png";
}

void ZUVAppIconUtility::addIconNameWithModifier(std::string_view modifier, std::string_view name,
                                                std::vector<std::string>& names) {
    std::string variant = std::string(name) + std::string(modifier);
    if (std::find(names.begin(), names.end(), variant) == names.end())
        names.push_back(std::move(variant));
}

std::vector<std::string>
ZUVAppIconUtility::iconNameSetWithAlternateNamesAddedToIconNameSet(const std::vector<std::string>& names) {
    std::vector<std::string> set;
    for (const auto& name : names) {
        addIconNameWithModifier("", name, set);
        if (isIconImageFileNameExtensionPresentInName(name))
            continue;
        for (const char* modifier : {"@2x", "~ipad", "@2x~ipad"})
            addIconNameWithModifier(modifier, name, set);
    }
    return set;
}

std::shared_ptr<ZUVIcon> ZUVAppIconUtility::largestIconInIconNames(const std::vector<std::string>& names,
                                                                   bool prerendered) const {
    const std::string root = iconRootPath();
    std::optional<std::string> bestPath;
    plat::CGSize bestSize;
    for (const auto& name : iconNameSetWithAlternateNamesAddedToIconNameSet(names)) {
        std::string path = root + "/" + name;
        if (!isIconImageFileNameExtensionPresentInName(name))
            path += ".png";
        auto image = plat::UIImage::imageWithContentsOfFile(path);
        if (!image)
            continue; // unreadable or not an image
        const plat::CGSize size = sizeForImage(*image);
        const double surface = size.width * size.height;
        if (surface > bestSize.width * bestSize.height && surface <= ZUVIcon::kMaxSurfaceArea) {
            bestPath = std::move(path);
            bestSize = size;
        }
    }
    if (!bestPath)
        return nullptr;
    return ZUVIcon::initWithPNGImageAtPath(*bestPath, bestSize, prerendered);
}

std::shared_ptr<ZUVIcon> ZUVAppIconUtility::iconFromIOS7StyleCFBundleIconsInFieldWithKey(std::string_view key) const {
    const auto info = appInfoDictionary();
    const plat::Value* found = info ? info->find(key) : nullptr;
    if (!found)
        return nullptr;
    const plat::Dictionary* icons = found->ifDictionary();
    if (!icons) {
        logMalformedInfoField(key);
        return nullptr;
    }
    const plat::Value* primary = icons->find("CFBundlePrimaryIcon");
    const plat::Dictionary* primaryIcon = primary ? primary->ifDictionary() : nullptr;
    if (!primaryIcon) {
        logMalformedInfoField("CFBundlePrimaryIcon");
        return nullptr;
    }
    const plat::Value* files = primaryIcon->find("CFBundleIconFiles");
    const plat::Array* names = files ? files->ifArray() : nullptr;
    if (!names) {
        logMalformedInfoField("CFBundleIconFiles");
        return nullptr;
    }
    bool prerendered = false;
    const plat::Value* flag = primaryIcon->find("UIPrerenderedIcon");
    if (flag && (flag->isNumber() || flag->isString()))
        prerendered = flag->boolValue();
    return largestIconInIconNames(iconNamesFromArray(*names), prerendered);
}

std::shared_ptr<ZUVIcon> ZUVAppIconUtility::iconFromCFBundleIconFiles() const {
    const auto info = appInfoDictionary();
    const plat::Value* found = info ? info->find("CFBundleIconFiles") : nullptr;
    const plat::Array* names = found ? found->ifArray() : nullptr;
    if (!names) {
        logMalformedInfoField("CFBundleIconFiles");
        return nullptr;
    }
    return largestIconInIconNames(iconNamesFromArray(*names), false);
}

std::shared_ptr<ZUVIcon> ZUVAppIconUtility::iconFromCFBundleIconFile() const {
    const auto info = appInfoDictionary();
    const plat::Value* found = info ? info->find("CFBundleIconFile") : nullptr;
    const std::string* name = found ? found->ifString() : nullptr;
    if (!name) {
        logMalformedInfoField("CFBundleIconFile");
        return nullptr;
    }
    return largestIconInIconNames({*name}, false);
}

std::shared_ptr<ZUVIcon> ZUVAppIconUtility::iconByFallingBackOnDefaultIconNamingConvention() const {
    return largestIconInIconNames({"Icon.png", "Icon@2x.png", "Icon-72.png", "Icon-72@2x.png", "Icon-Small.png",
                                   "Icon-Small@2x.png", "Icon-Small-50.png", "Icon-Small-50@2x.png"},
                                  false);
}
