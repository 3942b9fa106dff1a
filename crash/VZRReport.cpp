#include "crash/VZRReport.hpp"

#include "crash/capture/VZRContext.hpp"
#include "crash/capture/VZRFile.hpp"

#include "platform/foundation/Console.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/String.hpp"

#include <functional>

namespace {

const std::vector<std::string>& submittableFilenames() {
    static const std::vector<std::string> names{
        "exception.vzrrecord",     "signal.vzrrecord",        "custom_exception_a.vzrrecord",
        "custom_exception_b.vzrrecord", "mach_exception.vzrrecord", "errors_a.vzrrecord",
        "errors_b.vzrrecord"};
    return names;
}

// The unsigned "time" of the first `section` in the record file, as a date.
std::optional<plat::Date> sectionTime(const std::string& path, const char* section) {
    const auto sections = VZRInternalReport::readCLSFileAtPath(path);
    if (!sections)
        return std::nullopt;
    for (const plat::Value& line : *sections) {
        const plat::Value* body = line.isDictionary() ? line.asDictionary().find(section) : nullptr;
        const plat::Value* time = body && body->isDictionary() ? body->asDictionary().find("time") : nullptr;
        if (time && time->isNumber())
            return plat::Date(static_cast<double>(time->unsignedLongLongValue()));
    }
    return std::nullopt;
}

std::optional<std::string> sessionOf(const plat::Array& sections) {
    if (sections.empty() || !sections[0].isDictionary())
        return std::nullopt;
    for (const auto& [name, body] : sections[0].asDictionary()) {
        (void)name;
        const plat::Value* id = body.isDictionary() ? body.asDictionary().find("session_id") : nullptr;
        if (id && id->isString())
            return id->asString();
        break;
    }
    return std::nullopt;
}

} // namespace

std::shared_ptr<VZRInternalReport> VZRInternalReport::reportWithPath(const std::string& path) {
    return initWithPath(path);
}

std::shared_ptr<VZRInternalReport> VZRInternalReport::initWithPath(const std::string& path) {
    const plat::Array sections = readCLSFileAtPath(plat::String::appendingPathComponent(path, "metadata.vzrrecord"))
                                     .value_or(plat::Array{});
    std::optional<std::string> identifier = sessionOf(sections);
    if (!identifier) {
        plat::NSLogText("[Vuzidorazav:Crash] Unable to read identifier at path " + path);
        // A crash can come while the metadata is still being written: a folder holding crash or error records
        // is kept under its own name (the execution identifier) rather than lost.
        auto probe = initWithPathExecutionIdentifier(path, plat::String::lastPathComponent(path));
        if (probe && probe->needsToBeSubmitted())
            return probe;
        return nullptr;
    }
    auto report = initWithPathExecutionIdentifier(path, identifier);
    if (report)
        report->metadataSections_ = sections;
    return report;
}

std::shared_ptr<VZRInternalReport> VZRInternalReport::initWithPathExecutionIdentifier(
    const std::optional<std::string>& path, const std::optional<std::string>& id) {
    if (!path || !id)
        return nullptr;
    auto report = std::make_shared<VZRInternalReport>();
    report->path_ = *path;
    report->identifier_ = *id;
    return report;
}

std::string VZRInternalReport::path() const {
    std::lock_guard lock(mutex_);
    return path_;
}

void VZRInternalReport::setPath(std::string path) {
    std::lock_guard lock(mutex_);
    path_ = std::move(path);
}

std::string VZRInternalReport::directoryName() const {
    return plat::String::lastPathComponent(path());
}

std::string VZRInternalReport::pathForContentFile(const std::string& name) const {
    return plat::String::appendingPathComponent(path(), name);
}

bool VZRInternalReport::needsToBeSubmitted() const {
    return checkExistenceOfAtLeastOnceFileInArray(submittableFilenames());
}

const std::vector<std::string>& VZRInternalReport::crashFilenames() {
    static const std::vector<std::string> names{"exception.vzrrecord", "mach_exception.vzrrecord",
                                                "signal.vzrrecord"};
    return names;
}

bool VZRInternalReport::isCrash() const {
    return checkExistenceOfAtLeastOnceFileInArray(crashFilenames());
}

bool VZRInternalReport::checkExistenceOfAtLeastOnceFileInArray(const std::vector<std::string>& names) const {
    const plat::FileManager& files = plat::FileManager::defaultManager();
    for (const std::string& name : names) {
        if (files.fileExists(pathForContentFile(name)))
            return true;
    }
    return false;
}

void VZRInternalReport::enumerateSymbolicatableFilesInContent(const std::function<void(const std::string&)>& block) const {
    for (const std::string& name : crashFilenames())
        block(pathForContentFile(name));
}

std::optional<plat::Array> VZRInternalReport::readCLSFileAtPath(const std::string& path) {
    auto sections = VZRFileReadSections(path.c_str(), false);
    if (!sections || sections->empty())
        return std::nullopt;
    return sections;
}

const plat::Array& VZRInternalReport::metadataSections() {
    std::lock_guard lock(mutex_);
    if (!metadataSections_)
        metadataSections_ =
            readCLSFileAtPath(plat::String::appendingPathComponent(path_, "metadata.vzrrecord")).value_or(plat::Array{});
    return *metadataSections_;
}

std::optional<std::string> VZRInternalReport::metadataString(size_t position, const char* key) {
    const plat::Array& sections = metadataSections();
    if (sections.size() <= position || !sections[position].isDictionary())
        return std::nullopt;
    for (const auto& [name, body] : sections[position].asDictionary()) {
        (void)name;
        const plat::Value* value = body.isDictionary() ? body.asDictionary().find(key) : nullptr;
        if (value && value->isString())
            return value->asString();
        break;
    }
    return std::nullopt;
}

std::optional<std::string> VZRInternalReport::APIKey() {
    return metadataString(0, "api_key");
}

std::optional<plat::Date> VZRInternalReport::dateCreated() {
    const plat::Array& sections = metadataSections();
    if (sections.empty() || !sections[0].isDictionary())
        return std::nullopt;
    for (const auto& [name, body] : sections[0].asDictionary()) {
        (void)name;
        const plat::Value* started = body.isDictionary() ? body.asDictionary().find("started_at") : nullptr;
        if (started && started->isNumber())
            return plat::Date(static_cast<double>(started->unsignedLongLongValue()));
        break;
    }
    return std::nullopt;
}

std::optional<std::string> VZRInternalReport::OSVersion() {
    return metadataString(1, "os_display_version");
}

std::optional<std::string> VZRInternalReport::OSBuildVersion() {
    return metadataString(1, "os_build_version");
}

std::optional<std::string> VZRInternalReport::bundleVersion() {
    return metadataString(2, "build_version");
}

std::optional<std::string> VZRInternalReport::bundleShortVersionString() {
    return metadataString(2, "display_version");
}

std::optional<plat::Date> VZRInternalReport::crashedOnDate() const {
    if (!isCrash())
        return std::nullopt;
    if (auto time = sectionTime(pathForContentFile("mach_exception.vzrrecord"), "mach_exception"))
        return time;
    if (auto time = sectionTime(pathForContentFile("signal.vzrrecord"), "signal"))
        return time;
    // A crash that only the terminate handler recorded still has a date.
    return sectionTime(pathForContentFile("exception.vzrrecord"), "exception");
}

VZRReport::VZRReport(std::shared_ptr<VZRInternalReport> internalReport, bool prefetchData)
    : internalReport_(std::move(internalReport)), readOnly_(prefetchData) {
    if (internalReport_) {
        internalCompactedKVFile_ = internalReport_->pathForContentFile("internal_compacted_kv.vzrrecord");
        internalIncrementalKVFile_ = internalReport_->pathForContentFile("internal_incremental_kv.vzrrecord");
        userCompactedKVFile_ = internalReport_->pathForContentFile("user_compacted_kv.vzrrecord");
        userIncrementalKVFile_ = internalReport_->pathForContentFile("user_incremental_kv.vzrrecord");
    }
    if (prefetchData)
        prefetch();
}

void VZRReport::prefetch() {
    identifier();
    bundleVersion();
    bundleShortVersionString();
    dateCreated();
    crashedOnDate();
    OSVersion();
    OSBuildVersion();
    isCrash();
    customKeys();
}

namespace {

template <class T, class F> T cachedReportValue(std::mutex& m, std::optional<T>& slot, F&& read) {
    {
        std::lock_guard lock(m);
        if (slot)
            return *slot;
    }
    T value = read();
    std::lock_guard lock(m);
    if (!slot)
        slot = std::move(value);
    return *slot;
}

// The internal report's answer, taken on first use and kept; none without an internal report.
template <class T, class Read>
std::optional<T> cachedFromInternal(std::mutex& m, std::optional<std::optional<T>>& slot,
                                    const std::shared_ptr<VZRInternalReport>& report, Read read) {
    return cachedReportValue(m, slot, [&]() -> std::optional<T> {
        return report ? std::invoke(read, *report) : std::nullopt;
    });
}

} // namespace

std::string VZRReport::identifier() {
    return cachedReportValue(mutex_, identifer_,
                             [&] { return internalReport_ ? internalReport_->identifier() : std::string(); });
}

std::optional<std::string> VZRReport::bundleVersion() {
    return cachedFromInternal(mutex_, bundleVersion_, internalReport_, &VZRInternalReport::bundleVersion);
}

std::optional<std::string> VZRReport::bundleShortVersionString() {
    return cachedFromInternal(mutex_, bundleShortVersionString_, internalReport_, &VZRInternalReport::bundleShortVersionString);
}

std::optional<plat::Date> VZRReport::dateCreated() {
    return cachedFromInternal(mutex_, dateCreated_, internalReport_, &VZRInternalReport::dateCreated);
}

std::optional<plat::Date> VZRReport::crashedOnDate() {
    return cachedFromInternal(mutex_, crashedOnDate_, internalReport_, &VZRInternalReport::crashedOnDate);
}

std::optional<std::string> VZRReport::OSVersion() {
    return cachedFromInternal(mutex_, OSVersion_, internalReport_, &VZRInternalReport::OSVersion);
}

std::optional<std::string> VZRReport::OSBuildVersion() {
    return cachedFromInternal(mutex_, OSBuildVersion_, internalReport_, &VZRInternalReport::OSBuildVersion);
}

bool VZRReport::isCrash() {
    return cachedReportValue(mutex_, isCrash_, [&] { return internalReport_ && internalReport_->isCrash(); });
}

plat::Dictionary VZRReport::customKeys() {
    return cachedReportValue(mutex_, customKeys_, [&] { return readCustomKeys(); });
}

plat::Dictionary VZRReport::readCustomKeys() {
    const VZRKVStoreDescriptor store = userKVStorage();
    return VZRUserLoggingGetCompactedKVEntries(&store, true);
}

VZRKVStoreDescriptor VZRReport::internalKVStorage() const {
    const VZRKVStoreDescriptor* context = VZRUserLoggingInternalStore();
    return {internalIncrementalKVFile_.c_str(), internalCompactedKVFile_.c_str(), context ? context->maxEntries : 0,
            kVZRKVCompactionThreshold};
}

VZRKVStoreDescriptor VZRReport::userKVStorage() const {
    const VZRKVStoreDescriptor* context = VZRUserLoggingUserStore();
    return {userIncrementalKVFile_.c_str(), userCompactedKVFile_.c_str(), context ? context->maxEntries : 0,
            kVZRKVCompactionThreshold};
}

bool VZRReport::canRecordNewValues() const {
    return !readOnly_ && VZRContextIsInitialized();
}

void VZRReport::recordValueForInternalKey(const std::optional<plat::Value>& value,
                                          const std::optional<std::string>& key) {
    if (!canRecordNewValues() || !internalReport_)
        return;
    const VZRKVStoreDescriptor store = internalKVStorage();
    VZRUserLoggingRecordKeyValue(key, value, &store, &internalKVCounter_);
}

void VZRReport::recordValueForUserKey(const std::optional<plat::Value>& value, const std::optional<std::string>& key) {
    if (!canRecordNewValues() || !internalReport_)
        return;
    const VZRKVStoreDescriptor store = userKVStorage();
    VZRUserLoggingRecordKeyValue(key, value, &store, &userKVCounter_);
}

namespace {

std::optional<plat::Value> optionalText(const std::optional<std::string>& v) {
    return v ? std::optional<plat::Value>(plat::Value(*v)) : std::nullopt;
}

} // namespace

void VZRReport::setUserIdentifier(const std::optional<std::string>& v) {
    recordValueForInternalKey(optionalText(v), "com.vuzidorazav.user-id");
}

void VZRReport::setUserName(const std::optional<std::string>& v) {
    recordValueForInternalKey(optionalText(v), "com.vuzidorazav.user-name");
}

void VZRReport::setUserEmail(const std::optional<std::string>& v) {
    recordValueForInternalKey(optionalText(v), "com.vuzidorazav.user-email");
}
