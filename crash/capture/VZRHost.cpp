#include "crash/capture/VZRHost.hpp"

#include "crash/capture/VZRContext.hpp"
#include "crash/capture/VZRFile.hpp"
#include "crash/capture/VZRSDKLog.hpp"
#include "crash/capture/VZRUtilities.hpp"

#include "kit_host/ZUVUtilities.hpp"
#include "platform/device/DeviceProfile.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/Locale.hpp"

#include <unistd.h>

#include <atomic>
#include <fstream>
#include <optional>
#include <string>

namespace {

long systemPageSize() {
    return ::sysconf(_SC_PAGESIZE);
}

std::atomic<long (*)()> pageSizeQuery{&systemPageSize};

void writeOptionalString(VZRFile* file, const char* key, const std::optional<std::string>& value) {
    VZRFileWriteStringField(file, key, value ? value->c_str() : nullptr);
}

} // namespace

size_t VZRHostGetPageSize() {
    const long reported = pageSizeQuery.load()();
    if (reported < 0) {
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] sysctlbyname failed while trying to get hw.pagesize\n", VZR_HERE);
        return 16384;
    }
    if (reported <= 4096)
        return 4096;
    if (reported > 16384)
        return 16384;
    return static_cast<size_t>(reported);
}

void VZRHostSetPageSizeQueryForTesting(long (*query)()) {
    pageSizeQuery.store(query ? query : &systemPageSize);
}

void VZRHostSetup() {
    VZRReadOnlyContext* readonly = VZRSharedContext().readonly.load();
    if (!VZRIsValidPointer(readonly))
        return;
    readonly->host.pageSize = VZRHostGetPageSize();
    const auto folders = plat::FileManager::defaultManager().urls(plat::SearchPathDirectory::Document);
    if (!folders.empty())
        readonly->host.documentsPath = VZRDuplicateString(folders.front().c_str());
}

bool VZRHostWriteHost(VZRFile* file) {
    if (!VZRIsValidPointer(file) || !VZRFileIsOpen(file))
        return false;
    // "machine" is the device's model code; the device's own "hw.model" has no other counterpart here.
    const std::string model = plat::DeviceProfile::model();
    VZRFileBeginSection(file, "host");
    VZRFileBeginObject(file);
    writeOptionalString(file, "model", ZUVHardwareMachine());
    VZRFileWriteStringField(file, "machine", model.empty() ? "(failed)" : model.c_str());
    writeOptionalString(file, "os_build_version", ZUVOSBuildVersion());
    VZRFileWriteStringField(file, "os_display_version", ZUVOSDisplayVersion().c_str());
    VZRFileWriteStringField(file, "platform", "ios");
    VZRFileWriteStringField(file, "locale", plat::Locale::current().identifier().c_str());
    VZRFileEndObject(file);
    VZRFileEndSection(file);
    return true;
}

bool VZRProcessDebuggerAttached() {
    // The device profile reads the tracer from the status file unless a test or the device configuration
    // set the answer; an unreadable status file is the failure the caller is told of.
    if (!std::ifstream("/proc/self/status"))
        VZRSDKLog(VZRLogLevelWarn, "WARN  [%s:%d] sysctl failed while trying to get kinfo_proc\n", VZR_HERE);
    return plat::DeviceProfile::debuggerAttached();
}
