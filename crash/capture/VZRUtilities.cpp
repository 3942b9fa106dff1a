#include "crash/capture/VZRUtilities.hpp"

#include "crash/capture/VZRContext.hpp"

#include "platform/dispatch/Clock.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

// The pipe that stands in for a direct read where the kernel refuses process_vm_readv (seccomp, ptrace
// restrictions): writing memory into a pipe fails with EFAULT for bytes that are not mapped.
std::atomic<int> safeReadPipeIn{-1};
std::atomic<int> safeReadPipeOut{-1};
std::atomic<bool> safeReadPipeBusy{false};
std::atomic<bool> directReadRefused{false};
std::atomic<bool> forcePipe{false};

// This process's id for the direct reads, kept so that a read costs one system call instead of two; set
// when the reads are prepared and again in the child of every fork (0: ask the kernel each time).
std::atomic<pid_t> safeReadPid{0};

void refreshSafeReadPid() {
    safeReadPid.store(::getpid());
}

enum class DirectRead { ok, unreadable, refused };

DirectRead readDirect(uintptr_t address, void* buffer, size_t length) {
    iovec local{buffer, length};
    iovec remote{reinterpret_cast<void*>(address), length};
    const pid_t known = safeReadPid.load(std::memory_order_relaxed);
    const ssize_t n = ::process_vm_readv(known > 0 ? known : ::getpid(), &local, 1, &remote, 1, 0);
    if (n == static_cast<ssize_t>(length))
        return DirectRead::ok;
    if (n < 0 && (errno == ENOSYS || errno == EPERM))
        return DirectRead::refused;
    return DirectRead::unreadable; // EFAULT, or a short count at an unmapped page
}

// Drains what a write put into the pipe, so the next read starts empty.
bool drain(int out, char* buffer, size_t length) {
    size_t got = 0;
    while (got < length) {
        const ssize_t n = ::read(out, buffer + got, length - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

bool readThroughPipe(int in, int out, uintptr_t address, void* buffer, size_t length) {
    // A pipe holds at least one page; chunks of that size never block.
    constexpr size_t kChunk = 4096;
    char* dst = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < length) {
        const size_t chunk = length - done < kChunk ? length - done : kChunk;
        const ssize_t n = ::write(in, reinterpret_cast<const void*>(address + done), chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n > 0 && !drain(out, dst + done, static_cast<size_t>(n)))
            return false;
        if (n != static_cast<ssize_t>(chunk))
            return false; // EFAULT, or the range ends in an unmapped page
        done += chunk;
    }
    return true;
}

bool readWithPipe(uintptr_t address, void* buffer, size_t length) {
    bool expected = false;
    if (safeReadPipeBusy.compare_exchange_strong(expected, true)) {
        const int in = safeReadPipeIn.load();
        const int out = safeReadPipeOut.load();
        bool ok = false;
        if (in >= 0 && out >= 0) {
            ok = readThroughPipe(in, out, address, buffer, length);
            safeReadPipeBusy.store(false);
            return ok;
        }
        safeReadPipeBusy.store(false);
    }
    // The shared pipe is in use (another thread, or a handler that interrupted a read) or was never opened:
    // a pipe of this call's own; pipe2 and close are async-signal-safe.
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    const bool ok = readThroughPipe(fds[1], fds[0], address, buffer, length);
    ::close(fds[0]);
    ::close(fds[1]);
    return ok;
}

} // namespace

void VZRSafeReadPrepare() {
    static std::atomic<bool> pidTracked{false};
    if (!pidTracked.exchange(true)) {
        refreshSafeReadPid();
        ::pthread_atfork(nullptr, nullptr, refreshSafeReadPid);
    }
    if (safeReadPipeIn.load() >= 0)
        return;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    int expected = -1;
    if (!safeReadPipeOut.compare_exchange_strong(expected, fds[0])) {
        ::close(fds[0]);
        ::close(fds[1]);
        return;
    }
    safeReadPipeIn.store(fds[1]);
}

void VZRSafeReadForcePipeForTesting(bool pipe) {
    forcePipe.store(pipe);
}

bool VZRReadMemory(uintptr_t address, void* buffer, size_t length) {
    if (address < 4096 || !VZRIsValidPointer(buffer))
        return false;
    if (length == 0)
        return true;
    if (!forcePipe.load() && !directReadRefused.load()) {
        switch (readDirect(address, buffer, length)) {
        case DirectRead::ok:
            return true;
        case DirectRead::unreadable:
            return false;
        case DirectRead::refused:
            directReadRefused.store(true);
            break;
        }
    }
    return readWithPipe(address, buffer, length);
}

namespace {

// Pieces of `each` bytes at `addresses` into the `local` buffers with one system call.
bool readPiecesDirect(const uintptr_t* addresses, size_t count, size_t each, const iovec* local, size_t localCount) {
    constexpr size_t kMostPieces = 256; // kept on the stack: 4 KiB of piece descriptions
    if (!addresses || count == 0 || count > kMostPieces || each == 0 || forcePipe.load() || directReadRefused.load())
        return false;
    iovec remote[kMostPieces];
    for (size_t i = 0; i < count; ++i) {
        if (addresses[i] < 4096)
            return false;
        remote[i] = iovec{reinterpret_cast<void*>(addresses[i]), each};
    }
    const pid_t known = safeReadPid.load(std::memory_order_relaxed);
    const ssize_t n = ::process_vm_readv(known > 0 ? known : ::getpid(), local, localCount, remote, count, 0);
    return n == static_cast<ssize_t>(count * each);
}

} // namespace

bool VZRReadMemoryGather(const uintptr_t* addresses, size_t count, size_t each, void* buffer) {
    if (!VZRIsValidPointer(buffer))
        return false;
    const iovec local{buffer, count * each};
    return readPiecesDirect(addresses, count, each, &local, 1);
}

bool VZRReadMemoryScatter(const uintptr_t* addresses, void* const* buffers, size_t count, size_t each) {
    constexpr size_t kMostBuffers = 16;
    if (!buffers || count > kMostBuffers)
        return false;
    iovec local[kMostBuffers];
    for (size_t i = 0; i < count; ++i) {
        if (!VZRIsValidPointer(buffers[i]))
            return false;
        local[i] = iovec{buffers[i], each};
    }
    return readPiecesDirect(addresses, count, each, local, count);
}

bool VZRReadString(uintptr_t address, const char** result, size_t maximum) {
    if (!VZRIsValidPointer(result))
        return false;
    for (size_t i = 0; i < maximum; ++i) {
        char c = 0;
        if (!VZRReadMemory(address + i, &c, 1))
            return false;
        if (c == '\0') {
            *result = reinterpret_cast<const char*>(address);
            return true;
        }
    }
    return false;
}

char* VZRDuplicateString(const char* text) {
    if (!text)
        return nullptr;
    const size_t size = std::strlen(text) + 1;
    auto* copy = static_cast<char*>(
        VZRAllocatorSafeAllocate(VZRSharedContext().allocator.load(), size, VZRAllocationTypeReadOnly));
    if (copy)
        std::memcpy(copy, text, size);
    return copy;
}


void VZRHexFromBuffer(const uint8_t* bytes, size_t length, char* out) {
    std::memset(out, 0, 2 * length + 1);
    for (size_t i = 0; i < length; ++i)
        VZRHexFromByte(bytes[i], out + 2 * i);
}

uint8_t VZRHexNibbleValue(char c) {
    if (c >= '0' && c <= '9')
        return static_cast<uint8_t>(c - '0');
    if (c >= 'a' && c <= 'f')
        return static_cast<uint8_t>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F')
        return static_cast<uint8_t>(c - 'A' + 10);
    return 255;
}


void VZRDladdrNames(uintptr_t address, const std::function<void(const char*, const char*)>& block) {
    if (!block)
        return;
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(address), &info) == 0) {
        block(nullptr, nullptr);
        return;
    }
    block(info.dli_sname ? info.dli_sname : "unknown", info.dli_fname ? info.dli_fname : "unknown");
}

bool VZRUnlinkIfExists(const char* path) {
    return ::unlink(path) == 0 || errno == ENOENT;
}

void VZRDispatchAfter(const plat::DispatchQueuePtr& queue, std::function<void()> block, double seconds) {
    if (!queue || !block)
        return;
    const auto nanoseconds = static_cast<int64_t>(seconds * 1e9);
    queue->asyncAfter(static_cast<double>(nanoseconds) / 1e9, std::move(block));
}

void VZRAddOperationAfterDelay(const std::shared_ptr<plat::OperationQueue>& operationQueue,
                               std::function<void()> block, double seconds) {
    if (!operationQueue || !block)
        return;
    VZRDispatchAfter(
        plat::DispatchQueue::global(plat::QueuePriority::defaultPriority),
        [operationQueue, block = std::move(block)]() mutable { operationQueue->addOperationWithBlock(std::move(block)); },
        seconds);
}

// The monotonic clock counts nanoseconds, so the timebase is 1/1.
uint64_t VZRProfilingStart() {
    return static_cast<uint64_t>(plat::Clock::monotonicNanos());
}

double VZRProfileEnd(uint64_t mark) {
    constexpr uint64_t numerator = 1;
    constexpr uint64_t denominator = 1;
    const uint64_t now = VZRProfilingStart();
    return static_cast<double>((now - mark) * numerator / denominator) / 1000000.0;
}
