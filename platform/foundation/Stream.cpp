#include "platform/foundation/Stream.hpp"

#include "platform/foundation/Faults.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace plat {
namespace {

Error streamErrorFor(int err, const std::string& path) {
    Error e = Error::posix(err);
    if (!path.empty())
        e.userInfo.set(NSFilePathErrorKey, Value(path));
    return e;
}

} // namespace

Stream::~Stream() = default;

void Stream::open() {
    std::unique_lock lock(mutex_);
    if (status_ != StreamStatus::NotOpen)
        return;
    status_ = StreamStatus::Opening;
    if (auto err = doOpen()) {
        fail(lock, streamErrorFor(*err, subjectPath()));
        return;
    }
    status_ = StreamStatus::Open;
    notify(lock, static_cast<StreamEvent>(StreamEventOpenCompleted | readyEvent()));
}

void Stream::close() {
    std::lock_guard lock(mutex_);
    if (status_ == StreamStatus::Closed)
        return;
    doClose();
    status_ = StreamStatus::Closed;
}

StreamStatus Stream::streamStatus() const {
    std::lock_guard lock(mutex_);
    return status_;
}

std::optional<Error> Stream::streamError() const {
    std::lock_guard lock(mutex_);
    return error_;
}

void Stream::setDelegate(Delegate delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

void Stream::fail(std::unique_lock<std::mutex>& lock, Error error) {
    status_ = StreamStatus::Error;
    error_ = std::move(error);
    notify(lock, StreamEventErrorOccurred);
}

void Stream::notify(std::unique_lock<std::mutex>& lock, StreamEvent event) {
    Delegate d = delegate_;
    lock.unlock();
    if (d)
        d(*this, event);
}

// ---- InputStream

InputStream::InputStream(Private, Source source) : source_(source) {}

InputStream::~InputStream() {
    if (fd_ >= 0)
        ::close(fd_);
}

std::shared_ptr<InputStream> InputStream::withData(Data data) {
    auto s = std::make_shared<InputStream>(Private{}, Source::Memory);
    s->data_ = std::move(data);
    return s;
}

std::shared_ptr<InputStream> InputStream::withFile(std::string path) {
    auto s = std::make_shared<InputStream>(Private{}, Source::File);
    s->path_ = std::move(path);
    return s;
}

std::shared_ptr<InputStream> InputStream::withCallback(ReadCallback callback) {
    auto s = std::make_shared<InputStream>(Private{}, Source::Callback);
    s->callback_ = std::move(callback);
    return s;
}

std::optional<int> InputStream::doOpen() {
    if (source_ != Source::File)
        return std::nullopt;
    if (auto e = sim::Faults::check("file.open", path_))
        return *e;
    fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0)
        return errno;
    return std::nullopt;
}

void InputStream::doClose() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

ssize_t InputStream::read(uint8_t* buffer, size_t maxLength) {
    std::unique_lock lock(mutex_);
    if (status_ == StreamStatus::AtEnd)
        return 0;
    if (status_ != StreamStatus::Open)
        return -1;
    if (maxLength == 0)
        return 0;
    ssize_t n = 0;
    int err = 0;
    switch (source_) {
    case Source::Memory: {
        size_t count = std::min(maxLength, data_.size() - offset_);
        std::copy_n(data_.begin() + static_cast<std::ptrdiff_t>(offset_), count, buffer);
        offset_ += count;
        n = static_cast<ssize_t>(count);
        break;
    }
    case Source::File:
        if (auto e = sim::Faults::check("file.read", path_)) {
            n = -1;
            err = *e;
            break;
        }
        do {
            n = ::read(fd_, buffer, maxLength);
        } while (n < 0 && errno == EINTR);
        err = n < 0 ? errno : 0;
        break;
    case Source::Callback:
        status_ = StreamStatus::Reading;
        lock.unlock(); // the callback may take its time or touch other streams
        n = callback_(buffer, maxLength);
        err = n < 0 ? errno : 0;
        lock.lock();
        if (status_ != StreamStatus::Reading) // closed meanwhile
            return n < 0 ? -1 : n;
        status_ = StreamStatus::Open;
        break;
    }
    if (n < 0) {
        fail(lock, streamErrorFor(err == 0 ? EIO : err, path_));
        return -1;
    }
    if (n == 0) {
        ended_ = true;
        status_ = StreamStatus::AtEnd;
        notify(lock, StreamEventEndEncountered);
        return 0;
    }
    if (source_ == Source::Memory && offset_ == data_.size())
        ended_ = true; // the next read reports the end
    return n;
}

bool InputStream::hasBytesAvailable() const {
    std::lock_guard lock(mutex_);
    if (status_ != StreamStatus::Open)
        return false;
    if (source_ == Source::Memory)
        return offset_ < data_.size();
    return !ended_;
}

// ---- OutputStream

OutputStream::OutputStream(Private, bool memory) : memory_(memory) {}

OutputStream::~OutputStream() {
    if (fd_ >= 0)
        ::close(fd_);
}

std::shared_ptr<OutputStream> OutputStream::toMemory() {
    return std::make_shared<OutputStream>(Private{}, true);
}

std::shared_ptr<OutputStream> OutputStream::toFile(std::string path, bool append) {
    auto s = std::make_shared<OutputStream>(Private{}, false);
    s->path_ = std::move(path);
    s->append_ = append;
    return s;
}

std::optional<int> OutputStream::doOpen() {
    if (memory_)
        return std::nullopt;
    if (auto e = sim::Faults::check("file.open", path_))
        return *e;
    // A new file is created exclusively, so nothing planted between check and open is written through.
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd_ < 0 && errno == EEXIST)
        fd_ = ::open(path_.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | (append_ ? O_APPEND : O_TRUNC));
    if (fd_ < 0)
        return errno;
    return std::nullopt;
}

void OutputStream::doClose() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

ssize_t OutputStream::write(const uint8_t* buffer, size_t length) {
    std::unique_lock lock(mutex_);
    if (status_ != StreamStatus::Open)
        return -1;
    if (length == 0)
        return 0;
    auto allowance = sim::Faults::checkWrite(memory_ ? std::string_view("memory") : std::string_view(path_),
                                             written_, length);
    if (allowance.error) {
        fail(lock, streamErrorFor(*allowance.error, path_));
        return -1;
    }
    size_t count = allowance.allowed;
    if (memory_) {
        data_.insert(data_.end(), buffer, buffer + count);
        written_ += count;
        return static_cast<ssize_t>(count);
    }
    ssize_t n;
    do {
        n = ::write(fd_, buffer, count);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        fail(lock, streamErrorFor(errno, path_));
        return -1;
    }
    written_ += static_cast<size_t>(n);
    return n;
}

bool OutputStream::hasSpaceAvailable() const {
    std::lock_guard lock(mutex_);
    return status_ == StreamStatus::Open;
}

Data OutputStream::dataWrittenToMemory() const {
    std::lock_guard lock(mutex_);
    return data_;
}

size_t OutputStream::bytesWritten() const {
    std::lock_guard lock(mutex_);
    return written_;
}

} // namespace plat
