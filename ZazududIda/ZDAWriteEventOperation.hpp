#pragma once
// Appends one event to an event log as a line "<ms since 1970>\t<name>\t<payload bytes>\t<JSON payload>";
// a new log first gets the metadata line. Both lines are formatted when the operation is made. A log only
// ever holds whole lines: an append that fails part-way is cut back off, and a log that the failed write
// created is removed, so the next write starts it again with its metadata line.

#include "ZazududIda/ZDAEvent.hpp"
#include "ZazududIda/ZDAMetadata.hpp"

#include "platform/dispatch/Operation.hpp"
#include "platform/foundation/Date.hpp"
#include "platform/net/URL.hpp"

#include <sys/types.h>

#include <optional>
#include <string>

class ZDAWriteEventOperation : public plat::Operation {
public:
    static constexpr int kMaximumWritesPerLine = 3;

    ZDAWriteEventOperation(ZDAEventPtr event, const ZDAMetadataSerializable& metadata, plat::URL logFileUrl);

    void main() override;
    // Whether the log now holds the line(s); read after the operation finished.
    bool success() const { return success_; }

    const ZDAEventPtr& event() const { return event_; }
    const plat::URL& logFileUrl() const { return logFileUrl_; }
    const std::optional<std::string>& formattedEvent() const { return formattedEvent_; }
    const std::optional<std::string>& formattedMetadata() const { return formattedMetadata_; }

    static std::optional<std::string> generateFormattedLogLineWithEvent(const ZDAEvent& event);
    static std::optional<std::string> generateFormattedLogLineWithMetdata(const ZDAMetadataSerializable& metadata,
                                                                          plat::Date timestamp);
    // None when there is no dictionary or it cannot be written as JSON.
    static std::optional<std::string> logLineWithTimestamp(plat::Date timestamp, const std::string& eventName,
                                                           const std::optional<plat::Dictionary>& payload);

    bool writeDataToDescriptor(int descriptor, bool preexistingFile);
    bool appendLogLine(const std::string& line, int descriptor);

protected:
    // The one place bytes reach the file, so tests can make the disk fail part-way.
    virtual ssize_t writeBytes(int descriptor, const void* bytes, size_t length);

private:
    ZDAEventPtr event_;
    plat::URL logFileUrl_;
    bool success_ = false;
    std::optional<std::string> formattedEvent_;
    std::optional<std::string> formattedMetadata_;
};
