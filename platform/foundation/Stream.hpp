#pragma once
// Byte streams as the platform offers them: input from bytes, a file or a callback; output to memory or a
// file. Status values and delegate events keep the platform's numbers. Stream writes can be failed or cut
// short through sim::Faults ("stream.write"; the subject is the file path, or "memory").

#include "platform/foundation/Error.hpp"

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace plat {

enum class StreamStatus : int {
    NotOpen = 0,
    Opening = 1,
    Open = 2,
    Reading = 3,
    Writing = 4,
    AtEnd = 5,
    Closed = 6,
    Error = 7,
};

enum StreamEvent : unsigned {
    StreamEventNone = 0,
    StreamEventOpenCompleted = 1,
    StreamEventHasBytesAvailable = 2,
    StreamEventHasSpaceAvailable = 4,
    StreamEventErrorOccurred = 8,
    StreamEventEndEncountered = 16,
};

class Stream {
public:
    // Called on the thread that caused the event, after the stream's own state is updated and with no lock
    // held, so the handler may call back into the stream.
    using Delegate = std::function<void(Stream&, StreamEvent)>;

    virtual ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    void open();
    void close();
    StreamStatus streamStatus() const;
    std::optional<Error> streamError() const;
    void setDelegate(Delegate delegate);

protected:
    Stream() = default;
    // Subclass hooks, called with the lock held.
    virtual std::optional<int> doOpen() = 0; // an errno on failure
    virtual void doClose() = 0;
    virtual StreamEvent readyEvent() const = 0;
    virtual std::string subjectPath() const { return {}; }

    struct Private {}; // keeps construction to the factories, which still use make_shared

    void fail(std::unique_lock<std::mutex>& lock, Error error); // sets Error status and notifies, unlocking
    void notify(std::unique_lock<std::mutex>& lock, StreamEvent event);

    mutable std::mutex mutex_;
    StreamStatus status_ = StreamStatus::NotOpen;
    std::optional<Error> error_;

private:
    Delegate delegate_;
};

class InputStream : public Stream {
public:
    // Fills `buffer` with at most `capacity` bytes; returns the count, 0 at the end, -1 on error (errno set).
    using ReadCallback = std::function<ssize_t(uint8_t* buffer, size_t capacity)>;

    static std::shared_ptr<InputStream> withData(Data data);
    static std::shared_ptr<InputStream> withFile(std::string path);
    static std::shared_ptr<InputStream> withCallback(ReadCallback callback);
    ~InputStream() override;

    // Bytes read (0 at the end), or -1 when the stream is not open or failed.
    ssize_t read(uint8_t* buffer, size_t maxLength);
    bool hasBytesAvailable() const;

    enum class Source { Memory, File, Callback };
    InputStream(Private, Source source);

private:
    std::optional<int> doOpen() override;
    void doClose() override;
    StreamEvent readyEvent() const override { return StreamEventHasBytesAvailable; }
    std::string subjectPath() const override { return path_; }

    Source source_;
    Data data_;
    size_t offset_ = 0;
    std::string path_;
    int fd_ = -1;
    ReadCallback callback_;
    bool ended_ = false;
};

class OutputStream : public Stream {
public:
    static std::shared_ptr<OutputStream> toMemory();
    // A file that does not exist is created with O_EXCL (0644); an existing one is truncated, or appended to
    // with `append`. Symlinks at the path are not followed.
    static std::shared_ptr<OutputStream> toFile(std::string path, bool append);
    ~OutputStream() override;

    // Bytes written (possibly fewer than asked), or -1 when the stream is not open or failed.
    ssize_t write(const uint8_t* buffer, size_t length);
    bool hasSpaceAvailable() const;
    // What a memory stream holds so far (the platform's NSStreamDataWrittenToMemoryStreamKey).
    Data dataWrittenToMemory() const;
    size_t bytesWritten() const;

    OutputStream(Private, bool memory);

private:
    std::optional<int> doOpen() override;
    void doClose() override;
    StreamEvent readyEvent() const override { return StreamEventHasSpaceAvailable; }
    std::string subjectPath() const override { return path_; }

    bool memory_;
    Data data_;
    std::string path_;
    bool append_ = false;
    int fd_ = -1;
    size_t written_ = 0;
};

} // namespace plat
