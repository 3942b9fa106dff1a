#include "platform/foundation/FileManager.hpp"

#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/Faults.hpp"
#include "platform/foundation/FileError.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <mutex>

namespace plat {
namespace {

using sim::Faults;
namespace fs = std::filesystem;

constexpr const char* kExcludeAttribute = "user.plat.exclude_from_backup";

// Flags the file system could not hold, kept for the life of the process so they still read back.
struct Fallbacks {
    std::mutex mutex;
    std::map<std::string, bool, std::less<>> excluded;
    std::map<std::string, bool, std::less<>> immutable;
    std::map<std::string, std::string, std::less<>> protection;
};

Fallbacks& fallbacks() {
    static NeverDestroyed<Fallbacks> f;
    return *f;
}

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    // Closes now and reports the close error, which for some file systems is where a write failure shows.
    int close() {
        int r = ::close(fd_);
        fd_ = -1;
        return r;
    }

private:
    int fd_;
};

std::string normalized(std::string_view path) {
    std::string p(path);
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    return p;
}

std::string parentOf(const std::string& p) {
    auto slash = p.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return p.substr(0, slash);
}

std::string nameOf(const std::string& p) {
    auto slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

bool writeAll(int fd, std::span<const uint8_t> bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

void syncFolder(const std::string& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd); // best effort: the rename is already visible, this only makes it durable sooner
        ::close(fd);
    }
}

Result<void> writeInPlace(const std::string& p, std::span<const uint8_t> bytes, const WriteOptions& options) {
    if (auto e = Faults::check("file.open", p))
        return fileError(FileOperation::Write, *e, p);
    struct stat before {};
    bool existed = ::stat(p.c_str(), &before) == 0;
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (options.withoutOverwriting ? O_EXCL : O_TRUNC);
    mode_t mode = options.permissions.value_or(0644);
    Fd fd(::open(p.c_str(), flags, mode));
    if (fd.get() < 0)
        return fileError(FileOperation::Write, errno, p);
    if ((options.permissions || !existed) && ::fchmod(fd.get(), mode) != 0)
        return fileError(FileOperation::Write, errno, p);
    if (auto e = Faults::check("file.write", p))
        return fileError(FileOperation::Write, *e, p);
    if (!writeAll(fd.get(), bytes))
        return fileError(FileOperation::Write, errno, p);
    if (fd.close() != 0)
        return fileError(FileOperation::Write, errno, p);
    return {};
}

Result<void> writeAtomically(const std::string& p, std::span<const uint8_t> bytes,
                             const WriteOptions& options) {
    if (auto e = Faults::check("file.open", p))
        return fileError(FileOperation::Write, *e, p);
    if (options.withoutOverwriting && ::access(p.c_str(), F_OK) == 0)
        return fileError(FileOperation::Write, EEXIST, p);
    std::string temp = parentOf(p) + "/." + nameOf(p) + ".XXXXXX";
    Fd fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (fd.get() < 0)
        return fileError(FileOperation::Write, errno, p);
    // From here on every failure removes the temporary file, so the target is untouched.
    auto failWith = [&](int err) -> Result<void> {
        ::unlink(temp.c_str());
        return fileError(FileOperation::Write, err, p);
    };
    mode_t mode = 0644;
    struct stat existing {};
    if (options.permissions)
        mode = *options.permissions;
    else if (::stat(p.c_str(), &existing) == 0 && S_ISREG(existing.st_mode))
        mode = existing.st_mode & 07777;
    if (::fchmod(fd.get(), mode) != 0)
        return failWith(errno);
    if (auto e = Faults::check("file.write", p))
        return failWith(*e);
    if (!writeAll(fd.get(), bytes) || ::fsync(fd.get()) != 0)
        return failWith(errno);
    if (fd.close() != 0)
        return failWith(errno);
    if (auto e = Faults::check("file.rename", p))
        return failWith(*e);
    if (options.withoutOverwriting) {
        if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, p.c_str(), RENAME_NOREPLACE) != 0) {
            if (errno != EINVAL && errno != ENOSYS)
                return failWith(errno);
            // No exclusive rename on this file system: a hard link fails the same way when the target exists.
            if (::link(temp.c_str(), p.c_str()) != 0)
                return failWith(errno);
            ::unlink(temp.c_str());
        }
    } else if (::rename(temp.c_str(), p.c_str()) != 0) {
        return failWith(errno);
    }
    syncFolder(parentOf(p));
    return {};
}

bool lexists(const std::string& p, struct stat* st = nullptr) {
    struct stat local {};
    return ::lstat(p.c_str(), st ? st : &local) == 0;
}

Error existsError(const std::string& from, const std::string& to) {
    Error e = fileError(FileOperation::Modify, EEXIST, from);
    e.userInfo.set("NSDestinationFilePath", Value(to));
    return e;
}

} // namespace

Result<Data> readData(std::string_view path) {
    std::string p(path);
    if (auto e = Faults::check("file.open", p))
        return fileError(FileOperation::Read, *e, p);
    Fd fd(::open(p.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        return fileError(FileOperation::Read, errno, p);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return fileError(FileOperation::Read, errno, p);
    if (S_ISDIR(st.st_mode))
        return fileError(FileOperation::Read, EISDIR, p);
    if (auto e = Faults::check("file.read", p))
        return fileError(FileOperation::Read, *e, p);
    Data out;
    if (S_ISREG(st.st_mode))
        out.reserve(static_cast<size_t>(st.st_size));
    uint8_t buffer[65536];
    while (true) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return fileError(FileOperation::Read, errno, p);
        }
        if (n == 0)
            break;
        out.insert(out.end(), buffer, buffer + n);
    }
    return out;
}

Result<void> writeData(std::string_view path, std::span<const uint8_t> bytes, const WriteOptions& options) {
    std::string p = normalized(path);
    if (p.empty())
        return fileError(FileOperation::Write, ENOENT, p);
    return options.atomic ? writeAtomically(p, bytes, options) : writeInPlace(p, bytes, options);
}

FileManager& FileManager::defaultManager() {
    static NeverDestroyed<FileManager> fm;
    return *fm;
}

std::vector<std::string> FileManager::urls(SearchPathDirectory directory, int domainMask) const {
    if ((domainMask & UserDomainMask) == 0)
        return {};
    switch (directory) {
    case SearchPathDirectory::Library:
        return {AppHome::library()};
    case SearchPathDirectory::Document:
        return {AppHome::documents()};
    case SearchPathDirectory::Caches:
        return {AppHome::caches()};
    case SearchPathDirectory::ApplicationSupport:
        return {AppHome::applicationSupport()};
    }
    return {};
}

std::string FileManager::temporaryDirectory() const {
    std::string tmp = AppHome::tmp();
    (void)createDirectory(tmp, true, Dictionary{{NSFilePosixPermissions, Value(0700)}});
    return tmp + "/";
}

bool FileManager::fileExists(std::string_view path, bool* isDirectory) const {
    struct stat st {};
    std::string p(path);
    if (p.empty() || ::stat(p.c_str(), &st) != 0)
        return false;
    if (isDirectory)
        *isDirectory = S_ISDIR(st.st_mode);
    return true;
}

bool FileManager::isWritable(std::string_view path) const {
    std::string p(path);
    return !p.empty() && ::access(p.c_str(), W_OK) == 0;
}

Result<std::vector<std::string>> FileManager::contentsOfDirectory(std::string_view path) const {
    std::string p = normalized(path);
    if (auto e = Faults::check("file.open", p))
        return fileError(FileOperation::Read, *e, p);
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0)
        return fileError(FileOperation::Read, errno, p);
    if (!S_ISDIR(st.st_mode))
        return fileError(FileOperation::Read, EISDIR, p); // a file is no folder: 256, not "missing"
    std::error_code ec;
    std::vector<std::string> names;
    for (fs::directory_iterator it(p, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    if (ec)
        return fileError(FileOperation::Read, ec.value(), p);
    std::sort(names.begin(), names.end());
    return names;
}

Result<void> FileManager::createDirectory(std::string_view path, bool withIntermediateDirectories,
                                          const Dictionary& attributes) const {
    std::string p = normalized(path);
    if (p.empty())
        return fileError(FileOperation::Write, ENOENT, p);
    if (auto e = Faults::check("file.mkdir", p))
        return fileError(FileOperation::Write, *e, p);
    mode_t mode = 0755;
    if (const Value* m = attributes.find(NSFilePosixPermissions); m && m->isNumber())
        mode = static_cast<mode_t>(m->integerValue()) & 07777;

    auto makeOne = [mode](const std::string& dir, bool existingIsFine) -> Result<void> {
        if (::mkdir(dir.c_str(), mode) == 0) {
            if (::chmod(dir.c_str(), mode) != 0) // the process umask must not narrow what was asked for
                return fileError(FileOperation::Write, errno, dir);
            return {};
        }
        int err = errno;
        struct stat st {};
        if (err == EEXIST && existingIsFine && ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            return {};
        return fileError(FileOperation::Write, err, dir);
    };

    if (!withIntermediateDirectories)
        return makeOne(p, false);
    for (size_t pos = p.find('/', 1); pos != std::string::npos; pos = p.find('/', pos + 1)) {
        std::string prefix = p.substr(0, pos);
        struct stat st {};
        if (::stat(prefix.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode))
                return fileError(FileOperation::Write, EEXIST, prefix);
            continue;
        }
        if (auto r = makeOne(prefix, true); !r)
            return r;
    }
    return makeOne(p, true);
}

Result<void> FileManager::createFile(std::string_view path, std::span<const uint8_t> contents,
                                     const Dictionary& attributes) const {
    WriteOptions options;
    options.atomic = true;
    if (const Value* m = attributes.find(NSFilePosixPermissions); m && m->isNumber())
        options.permissions = static_cast<mode_t>(m->integerValue()) & 07777;
    if (auto r = writeData(path, contents, options); !r)
        return r;
    if (const Value* protection = attributes.find(NSFileProtectionKey); protection && protection->isString())
        return setFileProtection(path, protection->asString());
    return {};
}

Result<void> FileManager::removeItem(std::string_view path) const {
    std::string p = normalized(path);
    if (auto e = Faults::check("file.remove", p))
        return fileError(FileOperation::Modify, *e, p);
    struct stat st {};
    if (!lexists(p, &st))
        return fileError(FileOperation::Modify, errno, p);
    if (S_ISDIR(st.st_mode)) {
        std::error_code ec;
        fs::remove_all(p, ec); // never follows symlinks inside the tree
        if (ec)
            return fileError(FileOperation::Modify, ec.value(), p);
    } else if (::unlink(p.c_str()) != 0) {
        return fileError(FileOperation::Modify, errno, p);
    }
    std::lock_guard lock(fallbacks().mutex);
    fallbacks().excluded.erase(p);
    fallbacks().immutable.erase(p);
    fallbacks().protection.erase(p);
    return {};
}

Result<void> FileManager::moveItem(std::string_view from, std::string_view to) const {
    std::string src = normalized(from), dst = normalized(to);
    if (!lexists(src))
        return fileError(FileOperation::Modify, errno, src);
    if (lexists(dst))
        return existsError(src, dst);
    if (auto e = Faults::check("file.rename", dst))
        return fileError(FileOperation::Modify, *e, src);
    if (::renameat2(AT_FDCWD, src.c_str(), AT_FDCWD, dst.c_str(), RENAME_NOREPLACE) == 0)
        return {};
    int err = errno;
    if (err == EEXIST)
        return existsError(src, dst);
    if (err == EINVAL || err == ENOSYS) {
        if (lexists(dst))
            return existsError(src, dst);
        if (::rename(src.c_str(), dst.c_str()) == 0)
            return {};
        err = errno;
    }
    if (err != EXDEV)
        return fileError(FileOperation::Modify, err, src);
    // Another file system: copy, then remove the source only once the copy is complete.
    if (auto r = copyItem(src, dst); !r)
        return r;
    return removeItem(src);
}

Result<void> FileManager::copyItem(std::string_view from, std::string_view to) const {
    std::string src = normalized(from), dst = normalized(to);
    if (!lexists(src))
        return fileError(FileOperation::Read, errno, src);
    if (lexists(dst))
        return existsError(src, dst);
    if (auto e = Faults::check("file.write", dst))
        return fileError(FileOperation::Write, *e, dst);
    std::error_code ec;
    fs::copy(src, dst, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
    if (ec) {
        std::error_code ignored;
        fs::remove_all(dst, ignored); // no half copy left behind
        return fileError(FileOperation::Write, ec.value(), dst);
    }
    return {};
}

Result<Dictionary> FileManager::attributesOfItem(std::string_view path) const {
    std::string p = normalized(path);
    struct statx stx {};
    if (::statx(AT_FDCWD, p.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &stx) != 0)
        return fileError(FileOperation::Modify, errno, p);
    auto seconds = [](const statx_timestamp& t) { return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9; };
    const char* type = S_ISREG(stx.stx_mode)   ? NSFileTypeRegular
                       : S_ISDIR(stx.stx_mode) ? NSFileTypeDirectory
                       : S_ISLNK(stx.stx_mode) ? NSFileTypeSymbolicLink
                                               : NSFileTypeUnknown;
    double modified = seconds(stx.stx_mtime);
    double created = (stx.stx_mask & STATX_BTIME) ? seconds(stx.stx_btime) : modified;
    Dictionary attrs;
    attrs.set(NSFileSize, Value(static_cast<uint64_t>(stx.stx_size)));
    attrs.set(NSFileType, Value(type));
    attrs.set(NSFileCreationDate, Value(Date(created)));
    attrs.set(NSFileModificationDate, Value(Date(modified)));
    attrs.set(NSFilePosixPermissions, Value(static_cast<int64_t>(stx.stx_mode & 07777)));
    attrs.set(NSFileImmutable, Value(isImmutable(p)));
    if (auto protection = fileProtection(p))
        attrs.set(NSFileProtectionKey, Value(*protection));
    return attrs;
}

Result<void> FileManager::setAttributes(const Dictionary& attributes, std::string_view path) const {
    std::string p = normalized(path);
    if (!lexists(p))
        return fileError(FileOperation::Modify, errno, p);
    if (const Value* m = attributes.find(NSFilePosixPermissions); m && m->isNumber()) {
        if (::chmod(p.c_str(), static_cast<mode_t>(m->integerValue()) & 07777) != 0)
            return fileError(FileOperation::Modify, errno, p);
    }
    if (const Value* d = attributes.find(NSFileModificationDate); d && d->isDate()) {
        double t = d->asDate().timeIntervalSince1970();
        struct timespec times[2];
        times[0].tv_nsec = UTIME_OMIT;
        times[0].tv_sec = 0;
        times[1].tv_sec = static_cast<time_t>(t);
        times[1].tv_nsec = static_cast<long>((t - static_cast<double>(times[1].tv_sec)) * 1e9);
        if (::utimensat(AT_FDCWD, p.c_str(), times, 0) != 0)
            return fileError(FileOperation::Modify, errno, p);
    }
    if (const Value* protection = attributes.find(NSFileProtectionKey);
        protection && protection->isString()) {
        if (auto r = setFileProtection(p, protection->asString()); !r)
            return r;
    }
    if (const Value* immutable = attributes.find(NSFileImmutable); immutable && immutable->isNumber())
        return setImmutable(p, immutable->boolValue());
    return {};
}

Result<void> FileManager::setExcludedFromBackup(std::string_view path, bool excluded) const {
    std::string p = normalized(path);
    if (auto e = Faults::check("file.xattr", p))
        return fileError(FileOperation::Modify, *e, p);
    if (::access(p.c_str(), F_OK) != 0)
        return fileError(FileOperation::Modify, errno, p);
    int r = excluded ? ::setxattr(p.c_str(), kExcludeAttribute, "1", 1, 0)
                     : ::removexattr(p.c_str(), kExcludeAttribute);
    int err = r == 0 ? 0 : errno;
    auto& f = fallbacks();
    std::lock_guard lock(f.mutex);
    if (r == 0 || (!excluded && err == ENODATA)) {
        f.excluded.erase(p);
        return {};
    }
    if (err == ENOTSUP || err == EPERM || err == EACCES) {
        f.excluded[p] = excluded;
        return {};
    }
    return fileError(FileOperation::Modify, err, p);
}

bool FileManager::isExcludedFromBackup(std::string_view path) const {
    std::string p = normalized(path);
    {
        auto& f = fallbacks();
        std::lock_guard lock(f.mutex);
        if (auto it = f.excluded.find(p); it != f.excluded.end())
            return it->second;
    }
    char value[8] = {};
    ssize_t n = ::getxattr(p.c_str(), kExcludeAttribute, value, sizeof value);
    return n == 1 && value[0] == '1';
}

Result<void> FileManager::setImmutable(std::string_view path, bool immutable) const {
    std::string p = normalized(path);
    Fd fd(::open(p.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0)
        return fileError(FileOperation::Modify, errno, p);
    int flags = 0;
    bool done = false;
    if (::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) == 0) {
        flags = immutable ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        done = ::ioctl(fd.get(), FS_IOC_SETFLAGS, &flags) == 0;
    }
    auto& f = fallbacks();
    std::lock_guard lock(f.mutex);
    if (done)
        f.immutable.erase(p);
    else
        f.immutable[p] = immutable;
    return {};
}

bool FileManager::isImmutable(std::string_view path) const {
    std::string p = normalized(path);
    {
        auto& f = fallbacks();
        std::lock_guard lock(f.mutex);
        if (auto it = f.immutable.find(p); it != f.immutable.end())
            return it->second;
    }
    struct statx stx {};
    if (::statx(AT_FDCWD, p.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &stx) != 0)
        return false;
    return (stx.stx_attributes_mask & STATX_ATTR_IMMUTABLE) && (stx.stx_attributes & STATX_ATTR_IMMUTABLE);
}

Result<void> FileManager::setFileProtection(std::string_view path, std::string protectionClass) const {
    std::string p = normalized(path);
    if (::access(p.c_str(), F_OK) != 0)
        return fileError(FileOperation::Modify, errno, p);
    auto& f = fallbacks();
    std::lock_guard lock(f.mutex);
    f.protection[p] = std::move(protectionClass);
    return {};
}

std::optional<std::string> FileManager::fileProtection(std::string_view path) const {
    std::string p = normalized(path);
    auto& f = fallbacks();
    std::lock_guard lock(f.mutex);
    if (auto it = f.protection.find(p); it != f.protection.end())
        return it->second;
    return std::nullopt;
}

namespace {
Result<struct statvfs> volumeStats(std::string_view path) {
    std::string p = normalized(path);
    if (auto e = Faults::check("file.statvfs", p))
        return fileError(FileOperation::Read, *e, p);
    struct statvfs v {};
    if (::statvfs(p.c_str(), &v) != 0)
        return fileError(FileOperation::Read, errno, p);
    return v;
}
} // namespace

Result<uint64_t> FileManager::volumeAvailableCapacity(std::string_view path) const {
    auto v = volumeStats(path);
    if (!v)
        return v.error();
    return static_cast<uint64_t>(v->f_bavail) * v->f_frsize;
}

Result<uint64_t> FileManager::volumeTotalCapacity(std::string_view path) const {
    auto v = volumeStats(path);
    if (!v)
        return v.error();
    return static_cast<uint64_t>(v->f_blocks) * v->f_frsize;
}

} // namespace plat
