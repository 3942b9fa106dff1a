#pragma once
// A fresh app home (with its device folder) in a private temporary folder for one test, configured as the
// process's app home and removed again afterwards, flags such as the immutable bit included.

#include "platform/foundation/AppHome.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace plat::test {

class TempAppHome {
public:
    TempAppHome() {
        const char* tmp = std::getenv("TMPDIR");
        std::string base = (tmp && *tmp ? std::string(tmp) : std::string("/tmp")) + "/portal-test-XXXXXX";
        if (!::mkdtemp(base.data())) // 0700: the folder is the test's own
            throw std::runtime_error("cannot create a temporary app home under " + base);
        root_ = base;
        AppHome::configure(root_ + "/home");
        auto created = AppHome::createFolders();
        if (!created)
            throw std::runtime_error("cannot create the app home folders: " + created.error().description());
    }
    ~TempAppHome() {
        std::error_code ec;
        for (auto it = std::filesystem::recursive_directory_iterator(root_, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
            clearImmutable(it->path().string());
        std::filesystem::remove_all(root_, ec);
    }
    TempAppHome(const TempAppHome&) = delete;
    TempAppHome& operator=(const TempAppHome&) = delete;

    std::string home() const { return root_ + "/home"; }
    std::string deviceFolder() const { return root_ + "/home.device"; }
    // The folder that holds the home and the device folder, for fixtures that need a place of their own.
    const std::string& root() const { return root_; }

private:
    static void clearImmutable(const std::string& path) {
        int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            return;
        int flags = 0;
        if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_IMMUTABLE_FL)) {
            flags &= ~FS_IMMUTABLE_FL;
            ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
        }
        ::close(fd);
    }

    std::string root_;
};

} // namespace plat::test
