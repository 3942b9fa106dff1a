#pragma once
// A media file shown with a notification. Creating one checks that the file exists and that its type is
// one the device can show.

#include <string>

#include "platform/foundation/Error.hpp"
#include "platform/foundation/Value.hpp"
#include "platform/net/URL.hpp"

namespace plat {

class UNNotificationAttachment {
public:
    // Fails with UNErrorDomain 100 when the URL is not a file that exists, 101 when its extension is not
    // an image, audio or video type the device knows.
    static Result<UNNotificationAttachment> create(std::string identifier, const URL& fileURL,
                                                   Dictionary options = {});

    const std::string& identifier() const { return identifier_; }
    const URL& url() const { return url_; }
    // The uniform type of the file (e.g. "public.png").
    const std::string& type() const { return type_; }
    const Dictionary& options() const { return options_; }

private:
    UNNotificationAttachment(std::string identifier, URL url, std::string type, Dictionary options)
        : identifier_(std::move(identifier)), url_(std::move(url)), type_(std::move(type)),
          options_(std::move(options)) {}

    std::string identifier_;
    URL url_;
    std::string type_;
    Dictionary options_;
};

} // namespace plat
