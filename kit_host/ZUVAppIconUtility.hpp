#pragma once
// The app's icon as the onboarding request carries it: the icon files the Info.plist names (or the
// conventional names), the largest whose surface fits 152 x 152 pixels, with its PNG bytes, the SHA-1 of its
// file, its pixel size and whether it is pre-rendered.

#include "platform/foundation/Value.hpp"
#include "platform/uikit/UIImage.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class ZUVIcon {
public:
    // The largest surface (width x height in pixels) an icon may have.
    static constexpr double kMaxSurfaceArea = 23104; // 152 x 152

    ZUVIcon(plat::Data data, std::string dataHash, plat::CGSize size, bool prerendered);
    // The hash is the SHA-1 of the data.
    static std::shared_ptr<ZUVIcon> initWithData(plat::Data data, plat::CGSize size, bool prerendered = true);
    // The file's image re-encoded as PNG, hashed as the file; none when the file cannot be read or decoded.
    static std::shared_ptr<ZUVIcon> initWithPNGImageAtPath(const std::string& path, plat::CGSize size,
                                                           bool prerendered);

    bool prerendered() const { return prerendered_; }
    const plat::Data& data() const { return data_; }
    const std::string& dataHash() const { return dataHash_; }
    plat::CGSize size() const { return size_; }

    double surfaceArea() const { return size_.width * size_.height; }
    bool isWithinMaxSurfaceArea() const { return surfaceArea() <= kMaxSurfaceArea; }
    static bool isWithinMaxSurfaceAreaWithImage(const plat::UIImage& image);
    bool largerThanSize(plat::CGSize size) const { return surfaceArea() > size.width * size.height; }

private:
    bool prerendered_;
    plat::Data data_;
    std::string dataHash_;
    plat::CGSize size_;
};

class ZUVAppIconUtility {
public:
    // Found on the first call and kept; none when the app has no usable icon (logged).
    std::shared_ptr<ZUVIcon> applicationIcon();
    std::shared_ptr<ZUVIcon> fetchApplicationIcon() const;

    std::optional<plat::Dictionary> appInfoDictionary() const;
    std::string iconRootPath() const;

    // The image's size in pixels: its point size times its scale.
    static plat::CGSize sizeForImage(const plat::UIImage& image);
    // Whether the name ends in ".png", in any case.
    static bool isIconImageFileNameExtensionPresentInName(std::string_view name);
    static void addIconNameWithModifier(std::string_view modifier, std::string_view name,
                                        std::vector<std::string>& names);
    // The names followed each by its "@2x", "~ipad" and "@2x~ipad" variants when it has no PNG extension;
    // every name once, first occurrence kept.
    static std::vector<std::string> iconNameSetWithAlternateNamesAddedToIconNameSet(const std::vector<std::string>& names);

    // The largest readable image among the names (and their variants) within the surface limit; of equal
    // surfaces the first met stays.
    std::shared_ptr<ZUVIcon> largestIconInIconNames(const std::vector<std::string>& names, bool prerendered) const;
    std::shared_ptr<ZUVIcon> iconFromIOS7StyleCFBundleIconsInFieldWithKey(std::string_view key) const;
    std::shared_ptr<ZUVIcon> iconFromCFBundleIconFiles() const;
    std::shared_ptr<ZUVIcon> iconFromCFBundleIconFile() const;
    std::shared_ptr<ZUVIcon> iconByFallingBackOnDefaultIconNamingConvention() const;

private:
    std::mutex mutex_;
    bool fetched_ = false;
    std::shared_ptr<ZUVIcon> icon_;
};
