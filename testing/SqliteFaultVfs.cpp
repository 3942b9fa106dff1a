#include "testing/SqliteFaultVfs.hpp"

#include <sqlite3.h>

#include <cstring>
#include <mutex>
#include <vector>

namespace portal::testing {
namespace {

struct ArmedFault {
    SqliteFaultVfs::Operation op;
    int code;
    int times;
    std::string pathPart;
};

struct FaultTable {
    std::mutex mutex;
    std::vector<ArmedFault> faults;
    int fired = 0;
};

FaultTable& faultTable() {
    static FaultTable table;
    return table;
}

// The shim's file: our header, then the real file's own structure.
struct ShimFile {
    sqlite3_file base;
    const char* path; // valid until xClose, as SQLite promises
    sqlite3_file* real() { return reinterpret_cast<sqlite3_file*>(this + 1); }
};

sqlite3_vfs* realVfs = nullptr;

int armedCode(ShimFile* file, SqliteFaultVfs::Operation op) {
    auto& table = faultTable();
    std::lock_guard lock(table.mutex);
    for (auto it = table.faults.begin(); it != table.faults.end(); ++it) {
        if (it->op != op || (!it->pathPart.empty() && (!file->path || !std::strstr(file->path, it->pathPart.c_str())))) {
            continue;
        }
        int code = it->code;
        ++table.fired;
        if (it->times > 0 && --it->times == 0) {
            table.faults.erase(it);
        }
        return code;
    }
    return SQLITE_OK;
}

ShimFile* shim(sqlite3_file* file) {
    return reinterpret_cast<ShimFile*>(file);
}

int shimClose(sqlite3_file* file) {
    int rc = shim(file)->real()->pMethods ? shim(file)->real()->pMethods->xClose(shim(file)->real()) : SQLITE_OK;
    shim(file)->path = nullptr;
    return rc;
}
int shimRead(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
    if (int code = armedCode(shim(file), SqliteFaultVfs::Operation::Read)) {
        return code;
    }
    return shim(file)->real()->pMethods->xRead(shim(file)->real(), buffer, amount, offset);
}
int shimWrite(sqlite3_file* file, const void* buffer, int amount, sqlite3_int64 offset) {
    if (int code = armedCode(shim(file), SqliteFaultVfs::Operation::Write)) {
        return code;
    }
    return shim(file)->real()->pMethods->xWrite(shim(file)->real(), buffer, amount, offset);
}
int shimTruncate(sqlite3_file* file, sqlite3_int64 size) {
    if (int code = armedCode(shim(file), SqliteFaultVfs::Operation::Truncate)) {
        return code;
    }
    return shim(file)->real()->pMethods->xTruncate(shim(file)->real(), size);
}
int shimSync(sqlite3_file* file, int flags) {
    if (int code = armedCode(shim(file), SqliteFaultVfs::Operation::Sync)) {
        return code;
    }
    return shim(file)->real()->pMethods->xSync(shim(file)->real(), flags);
}
int shimFileSize(sqlite3_file* file, sqlite3_int64* size) {
    return shim(file)->real()->pMethods->xFileSize(shim(file)->real(), size);
}
int shimLock(sqlite3_file* file, int level) {
    return shim(file)->real()->pMethods->xLock(shim(file)->real(), level);
}
int shimUnlock(sqlite3_file* file, int level) {
    return shim(file)->real()->pMethods->xUnlock(shim(file)->real(), level);
}
int shimCheckReservedLock(sqlite3_file* file, int* out) {
    return shim(file)->real()->pMethods->xCheckReservedLock(shim(file)->real(), out);
}
int shimFileControl(sqlite3_file* file, int op, void* arg) {
    return shim(file)->real()->pMethods->xFileControl(shim(file)->real(), op, arg);
}
int shimSectorSize(sqlite3_file* file) {
    return shim(file)->real()->pMethods->xSectorSize(shim(file)->real());
}
int shimDeviceCharacteristics(sqlite3_file* file) {
    return shim(file)->real()->pMethods->xDeviceCharacteristics(shim(file)->real());
}

// Version 1: no shared memory, so connections through the shim keep to rollback journals.
const sqlite3_io_methods shimMethods = {
    1,        shimClose,       shimRead,          shimWrite,      shimTruncate,           shimSync,
    shimFileSize, shimLock,    shimUnlock,        shimCheckReservedLock, shimFileControl, shimSectorSize,
    shimDeviceCharacteristics, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
};

int shimOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) {
    ShimFile* s = shim(file);
    s->base.pMethods = nullptr;
    s->path = nullptr;
    int rc = realVfs->xOpen(realVfs, name, s->real(), flags, outFlags);
    if (rc == SQLITE_OK) {
        s->path = name;
        s->base.pMethods = &shimMethods;
    }
    return rc;
}

int shimDelete(sqlite3_vfs*, const char* name, int syncDir) {
    return realVfs->xDelete(realVfs, name, syncDir);
}
int shimAccess(sqlite3_vfs*, const char* name, int flags, int* out) {
    return realVfs->xAccess(realVfs, name, flags, out);
}
int shimFullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
    return realVfs->xFullPathname(realVfs, name, size, out);
}
void* shimDlOpen(sqlite3_vfs*, const char* name) {
    return realVfs->xDlOpen(realVfs, name);
}
void shimDlError(sqlite3_vfs*, int size, char* out) {
    realVfs->xDlError(realVfs, size, out);
}
void (*shimDlSym(sqlite3_vfs*, void* handle, const char* symbol))(void) {
    return realVfs->xDlSym(realVfs, handle, symbol);
}
void shimDlClose(sqlite3_vfs*, void* handle) {
    realVfs->xDlClose(realVfs, handle);
}
int shimRandomness(sqlite3_vfs*, int size, char* out) {
    return realVfs->xRandomness(realVfs, size, out);
}
int shimSleep(sqlite3_vfs*, int micros) {
    return realVfs->xSleep(realVfs, micros);
}
int shimCurrentTime(sqlite3_vfs*, double* out) {
    return realVfs->xCurrentTime(realVfs, out);
}
int shimGetLastError(sqlite3_vfs*, int size, char* out) {
    return realVfs->xGetLastError ? realVfs->xGetLastError(realVfs, size, out) : 0;
}

sqlite3_vfs shimVfs;

} // namespace

void SqliteFaultVfs::install() {
    static std::once_flag once;
    std::call_once(once, [] {
        sqlite3_initialize();
        realVfs = sqlite3_vfs_find(nullptr);
        std::memset(&shimVfs, 0, sizeof shimVfs);
        shimVfs.iVersion = 1;
        shimVfs.szOsFile = static_cast<int>(sizeof(ShimFile)) + realVfs->szOsFile;
        shimVfs.mxPathname = realVfs->mxPathname;
        shimVfs.zName = "portal-faults";
        shimVfs.xOpen = shimOpen;
        shimVfs.xDelete = shimDelete;
        shimVfs.xAccess = shimAccess;
        shimVfs.xFullPathname = shimFullPathname;
        shimVfs.xDlOpen = shimDlOpen;
        shimVfs.xDlError = shimDlError;
        shimVfs.xDlSym = shimDlSym;
        shimVfs.xDlClose = shimDlClose;
        shimVfs.xRandomness = shimRandomness;
        shimVfs.xSleep = shimSleep;
        shimVfs.xCurrentTime = shimCurrentTime;
        shimVfs.xGetLastError = shimGetLastError;
        sqlite3_vfs_register(&shimVfs, 1);
    });
}

void SqliteFaultVfs::fail(Operation op, int sqliteCode, int times, std::string pathPart) {
    auto& table = faultTable();
    std::lock_guard lock(table.mutex);
    table.faults.push_back(ArmedFault{op, sqliteCode, times, std::move(pathPart)});
}

void SqliteFaultVfs::reset() {
    auto& table = faultTable();
    std::lock_guard lock(table.mutex);
    table.faults.clear();
    table.fired = 0;
}

int SqliteFaultVfs::firedCount() {
    auto& table = faultTable();
    std::lock_guard lock(table.mutex);
    return table.fired;
}

} // namespace portal::testing
