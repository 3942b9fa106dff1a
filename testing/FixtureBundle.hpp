#pragma once
// Builds an app bundle folder for a test: Info.plist from a dictionary, plus any resource files.

#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/PropertyList.hpp"

#include <stdexcept>
#include <string>
#include <string_view>

namespace plat::test {

class FixtureBundle {
public:
    // `folder` is created; Info.plist is written as an XML property list.
    FixtureBundle(std::string folder, const Dictionary& info) : path_(std::move(folder)) {
        auto& fm = FileManager::defaultManager();
        if (!fm.createDirectory(path_, true))
            throw std::runtime_error("cannot create bundle folder " + path_);
        auto bytes = PropertyListSerialization::data(Value(info), PropertyListSerialization::Format::XML);
        if (!bytes || !writeData(path_ + "/Info.plist", *bytes))
            throw std::runtime_error("cannot write Info.plist in " + path_);
    }

    // Writes a resource at a path relative to the bundle, creating folders on the way.
    FixtureBundle& add(std::string_view relativePath, std::string_view contents) {
        std::string path = path_ + "/" + std::string(relativePath);
        auto slash = path.rfind('/');
        (void)FileManager::defaultManager().createDirectory(path.substr(0, slash), true);
        if (!writeData(path, Data(contents.begin(), contents.end())))
            throw std::runtime_error("cannot write " + path);
        return *this;
    }

    // Makes this the process's main bundle.
    FixtureBundle& makeMain() {
        Bundle::setMain(path_);
        return *this;
    }

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

} // namespace plat::test
