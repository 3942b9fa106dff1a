// The notifications the push client shows itself: local notifications below OS 10, notification requests
// from OS 10 on, their "__dynamic__" button category, and media attachments downloaded into the caches
// directory.

#include "RadIrivozSDK/Source/RINotificationPayload.hpp"
#include "RadIrivozSDK/Source/RadIrivoz.hpp"
#include "RadIrivozSDK/Source/RadIrivozHelper.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/DispatchSemaphore.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/UserDefaults.hpp"
#include "platform/net/HTTPURLResponse.hpp"
#include "platform/net/URL.hpp"
#include "platform/net/URLComponents.hpp"
#include "platform/net/URLSession.hpp"
#include "platform/net/URLSessionConfiguration.hpp"
#include "platform/uikit/UIApplication.hpp"
#include "platform/usernotifications/UNNotification.hpp"
#include "platform/usernotifications/UNNotificationContent.hpp"
#include "platform/usernotifications/UNNotificationTrigger.hpp"
#include "platform/usernotifications/UNUserNotificationCenter.hpp"

#include <array>
#include <atomic>
#include <mutex>

namespace {

constexpr std::array<std::string_view, 13> kSupportedMediaExtensions = {
    "aiff", "wav", "mp3", "mp4", "jpg", "jpeg", "png", "gif", "mpeg", "mpg", "avi", "m4a", "m4v"};

constexpr std::array<std::pair<std::string_view, std::string_view>, 13> kMediaMimeExtensions = {{
    {"audio/aiff", "aiff"},
    {"audio/x-wav", "wav"},
    {"audio/mpeg", "mp3"},
    {"video/mp4", "mp4"},
    {"image/jpeg", "jpeg"},
    {"image/jpg", "jpg"},
    {"image/png", "png"},
    {"image/gif", "gif"},
    {"video/mpeg", "mpeg"},
    {"video/mpg", "mpg"},
    {"video/avi", "avi"},
    {"sound/m4a", "m4a"},
    {"video/m4v", "m4v"},
}};

constexpr const char* kCachedMediaKey = "CACHED_MEDIA";
// A category read that the centre never answers must not hold the request (or the extension) for good.
constexpr double kCategoryReadWait = 5.0;
// Longer than any sensible notification image takes, shorter than the time an extension is given.
constexpr double kMediaDownloadWait = 25.0;
// Far above what the device shows in a notification; a larger body is refused, not stored.
constexpr size_t kMaxMediaBytes = 50u * 1024u * 1024u;

bool isSupportedMediaExtension(std::string_view extension) {
    for (std::string_view supported : kSupportedMediaExtensions) {
        if (supported == extension) {
            return true;
        }
    }
    return false;
}

void logMediaError(const std::string& message) {
    RadIrivoz::radirivoz_Log(ONE_S_LOG_LEVEL::ONE_S_LL_ERROR, message);
}

std::string downloadErrorText(const std::string& url) {
    return "Encountered an error while attempting to download file with URL: " + url;
}

std::string mediaButtonText(const plat::Value& button, std::string_view key) {
    const std::string* text = button[key].ifString();
    return text ? *text : std::string();
}

plat::Error mediaDownloadError(int64_t code, std::string description) {
    return plat::Error("RadIrivozError", code, plat::Dictionary{{plat::NSLocalizedDescriptionKey, plat::Value(std::move(description))}});
}

// A media download's end: the file's name in the caches folder, no name when the answer's type has no
// supported extension (the file is dropped unnamed), or the first error.
using MediaOutcome = plat::Result<std::optional<std::string>>;

// What one transfer left; settled on the session's queue, read by the waiting thread. Once the waiting thread
// gave up, a late answer is dropped with its task's file instead of landing in the caches folder.
struct MediaTransfer {
    std::mutex mutex;
    bool done = false;
    bool abandoned = false;
    MediaOutcome outcome = std::optional<std::string>();
};

// Media goes straight to a file of its own as it arrives: held in memory, a body of many megabytes would
// be gathered whole before a byte of it reached the disk. A body over the limit is refused while it
// arrives, and no URL cache keeps a second copy.
std::shared_ptr<plat::URLSession> mediaSession() {
    static plat::NeverDestroyed<std::shared_ptr<plat::URLSession>> session([] {
        auto configuration = plat::URLSessionConfiguration::ephemeral();
        configuration.urlCache = nullptr;
        configuration.maximumDownloadBytes = static_cast<int64_t>(kMaxMediaBytes);
        return plat::URLSession::make(configuration);
    }());
    return *session;
}

std::optional<std::string> mediaExtensionFromAnswer(const plat::URL& url,
                                                    const plat::HTTPURLResponse& response) {
    const std::string mimeType = response.mimeType().value_or("");
    std::optional<std::string> extension;
    if (mimeType.empty()) {
        auto fileName = valueFromQueryParameter(url, "filename");
        extension = fileName ? supportedFileExtension(*fileName) : std::nullopt;
    } else {
        extension = fileExtensionForMimeType(mimeType);
    }
    if (!extension || !isSupportedMediaExtension(*extension)) {
        return std::nullopt;
    }
    return extension;
}

// Runs while the task's file still exists: a 2xx answer's file is renamed into the caches folder, never
// copied. Anything else stays with the task, which deletes it.
MediaOutcome settleMediaDownload(const plat::URL& url, const std::optional<std::string>& extensionFromPath,
                                 const std::string& directory, const std::optional<plat::URL>& location,
                                 const std::shared_ptr<const plat::HTTPURLResponse>& response,
                                 const std::optional<plat::Error>& error) {
    if (error) {
        return *error;
    }
    const int status = response ? response->statusCode() : 0;
    if (status < 200 || status > 299) {
        return mediaDownloadError(status, "The media server answered " + std::to_string(status) + ".");
    }
    if (!location) {
        return mediaDownloadError(-3000, "The media download left no file.");
    }
    const std::optional<std::string> extension =
        extensionFromPath ? extensionFromPath : mediaExtensionFromAnswer(url, *response);
    if (!extension) {
        return std::optional<std::string>();
    }
    std::string name = RadIrivozHelper::randomStringWithLength(10) + "." + *extension;
    if (auto moved = plat::FileManager::defaultManager().moveItem(location->path(), directory + "/" + name);
        !moved.ok()) {
        return moved.error();
    }
    return std::optional<std::string>(std::move(name));
}

MediaOutcome downloadMediaInto(const plat::URL& url, const std::optional<std::string>& extensionFromPath,
                               const std::string& directory) {
    auto transfer = std::make_shared<MediaTransfer>();
    auto semaphore = std::make_shared<plat::DispatchSemaphore>(0);
    auto task = mediaSession()->downloadTask(url, [transfer, semaphore, url, extensionFromPath, directory](
                                                      std::optional<plat::URL> location,
                                                      std::shared_ptr<const plat::HTTPURLResponse> response,
                                                      std::optional<plat::Error> error) {
        {
            std::lock_guard lock(transfer->mutex);
            if (transfer->abandoned) {
                return;
            }
            transfer->outcome =
                settleMediaDownload(url, extensionFromPath, directory, location, response, error);
            transfer->done = true;
        }
        semaphore->signal();
    });
    task->resume();
    semaphore->wait(kMediaDownloadWait);
    std::lock_guard lock(transfer->mutex);
    if (!transfer->done) {
        transfer->abandoned = true;
        task->cancel();
        return mediaDownloadError(-1001, "The media download timed out.");
    }
    return std::move(transfer->outcome);
}

bool namesOutsideOfBundle(std::string_view name) {
    return name.find('/') != std::string_view::npos || name.find('\\') != std::string_view::npos ||
           name.find("..") != std::string_view::npos;
}

std::optional<std::shared_ptr<const plat::UNNotificationAttachment>>
attachmentForFile(const std::string& identifier, const std::string& path) {
    auto attachment = plat::UNNotificationAttachment::create(identifier, plat::URL::file(path));
    if (!attachment.ok()) {
        return std::nullopt;
    }
    return std::make_shared<const plat::UNNotificationAttachment>(std::move(*attachment));
}

} // namespace

std::string one_substringAfter(std::string_view text, std::string_view marker) {
    const size_t at = text.find(marker);
    return std::string(at == std::string_view::npos ? text : text.substr(at + marker.size()));
}

std::string one_getVersionForRange(std::string_view twoDigits) {
    if (twoDigits.size() == 2 && twoDigits.front() == '0') {
        return std::string(twoDigits.substr(1));
    }
    return std::string(twoDigits);
}

std::string one_getSemanticVersion(std::string_view version) {
    if (version.size() != 6) {
        return std::string(version);
    }
    return one_getVersionForRange(version.substr(0, 2)) + "." + one_getVersionForRange(version.substr(2, 2)) + "." +
           one_getVersionForRange(version.substr(4, 2));
}

std::optional<std::string> supportedFileExtension(std::string_view name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view extension = name.substr(dot + 1);
    if (!isSupportedMediaExtension(extension)) {
        return std::nullopt;
    }
    return std::string(extension);
}

std::optional<std::string> fileExtensionForMimeType(std::string_view mimeType) {
    for (const auto& [mime, extension] : kMediaMimeExtensions) {
        if (mime == mimeType) {
            return std::string(extension);
        }
    }
    return std::nullopt;
}

std::optional<std::string> valueFromQueryParameter(const plat::URL& url, std::string_view name) {
    auto components = plat::URLComponents::parse(url.absoluteString());
    if (!components) {
        return std::nullopt;
    }
    auto items = components->queryItems();
    if (!items) {
        return std::nullopt;
    }
    for (const auto& item : *items) {
        if (item.name == name) {
            return item.value;
        }
    }
    return std::nullopt;
}

plat::UILocalNotification RadIrivozHelper::prepareUILocalNotification(const RINotificationPayload& payload) {
    plat::UILocalNotification notification = createUILocalNotification(payload);
    notification.alertTitle = payload.title().value_or("");
    notification.alertBody = payload.body().value_or("");
    notification.userInfo = plat::Value(payload.rawPayload());
    notification.soundName = payload.sound().value_or(plat::UILocalNotificationDefaultSoundName);
    notification.applicationIconBadgeNumber = static_cast<int64_t>(payload.badge());
    return notification;
}

plat::UILocalNotification RadIrivozHelper::createUILocalNotification(const RINotificationPayload& payload) {
    plat::UILocalNotification notification;
    plat::UIMutableUserNotificationCategory category;
    category.identifier = kRadIrivozDynamicCategory;
    std::vector<plat::UIMutableUserNotificationAction> actions;
    if (const auto& buttons = payload.actionButtons()) {
        for (const plat::Value& button : *buttons) {
            plat::UIMutableUserNotificationAction action;
            action.title = mediaButtonText(button, "text");
            action.identifier = mediaButtonText(button, "id");
            action.activationMode = plat::UIUserNotificationActivationMode::foreground;
            actions.push_back(std::move(action));
            // The minimal context shows two buttons; the first two, the second one first.
            if (actions.size() == 2) {
                category.setActions({actions[1], actions[0]}, plat::UIUserNotificationActionContext::minimal);
            }
        }
    }
    category.setActions(actions, plat::UIUserNotificationActionContext::defaultContext);

    if (auto application = plat::UIApplication::sharedApplication()) {
        auto categories = application->currentUserNotificationSettings().categories;
        std::erase_if(categories, [](const plat::UIMutableUserNotificationCategory& existing) {
            return existing.identifier == kRadIrivozDynamicCategory;
        });
        categories.push_back(category);
        application->registerUserNotificationSettings(plat::UIUserNotificationSettings::settingsForTypes(
            plat::UIUserNotificationTypeBadge | plat::UIUserNotificationTypeSound | plat::UIUserNotificationTypeAlert,
            std::move(categories)));
    }
    notification.category = kRadIrivozDynamicCategory;
    return notification;
}

namespace {

std::atomic<int>& requestsInPreparation() {
    static std::atomic<int> count{0};
    return count;
}

} // namespace

bool RadIrivozHelper::hasNotificationRequestsInPreparation() {
    return requestsInPreparation().load() > 0;
}

void RadIrivozHelper::addNotificationRequest(std::shared_ptr<const RINotificationPayload> payload,
                                             std::function<void(plat::UIBackgroundFetchResult)> handler) {
    ++requestsInPreparation();
    plat::DispatchQueue::global(plat::QueuePriority::defaultPriority)
        ->async([payload = std::move(payload), handler = std::move(handler)] {
            const plat::UIBackgroundTaskIdentifier task = beginBackgroundMediaTask();
            auto request = prepareUNNotificationRequest(*payload);
            plat::UNUserNotificationCenter::currentNotificationCenter()->addNotificationRequest(request, {});
            if (handler) {
                handler(plat::UIBackgroundFetchResult::newData);
            }
            endBackgroundMediaTask(task);
            --requestsInPreparation();
        });
}

std::shared_ptr<plat::UNNotificationRequest>
RadIrivozHelper::prepareUNNotificationRequest(const RINotificationPayload& payload) {
    auto content = plat::UNMutableNotificationContent::make();
    addActionButtons(payload, *content);
    content->setTitle(payload.title().value_or(""));
    content->setSubtitle(payload.subtitle().value_or(""));
    content->setBody(payload.body().value_or(""));
    content->setUserInfo(plat::Value(payload.rawPayload()));
    content->setSound(payload.sound() ? plat::UNNotificationSound::soundNamed(*payload.sound())
                                      : plat::UNNotificationSound::defaultSound());
    if (payload.badge() != 0) {
        content->setBadge(static_cast<int64_t>(payload.badge()));
    }
    addAttachments(payload, *content);
    auto trigger = plat::UNTimeIntervalNotificationTrigger::triggerWithTimeInterval(0.25, false);
    return plat::UNNotificationRequest::requestWithIdentifier(randomStringWithLength(16), content.get(),
                                                              std::move(trigger));
}

void RadIrivozHelper::addActionButtons(const RINotificationPayload& payload,
                                       plat::UNMutableNotificationContent& content) {
    const auto& buttons = payload.actionButtons();
    if (!buttons || buttons->empty()) {
        return;
    }
    std::vector<plat::UNNotificationAction> actions;
    for (const plat::Value& button : *buttons) {
        actions.push_back(plat::UNNotificationAction{mediaButtonText(button, "id"),
                                                     mediaButtonText(button, "text"), 4, std::nullopt});
    }
    // Two buttons read right to left on the device's short layout; so the first one sits where it is seen first.
    if (actions.size() == 2) {
        std::swap(actions[0], actions[1]);
    }
    plat::UNNotificationCategory category{kRadIrivozDynamicCategory, std::move(actions), {}, 1};

    std::vector<plat::UNNotificationCategory> categories;
    if (auto existing = existingCategories()) {
        for (auto& registered : *existing) {
            if (registered.identifier != kRadIrivozDynamicCategory) {
                categories.push_back(std::move(registered));
            }
        }
    }
    categories.push_back(std::move(category));
    plat::UNUserNotificationCenter::currentNotificationCenter()->setNotificationCategories(std::move(categories));
    content.setCategoryIdentifier(kRadIrivozDynamicCategory);
}

std::optional<std::vector<plat::UNNotificationCategory>> RadIrivozHelper::existingCategories() {
    struct Slot {
        std::mutex mutex;
        std::optional<std::vector<plat::UNNotificationCategory>> categories;
    };
    // Shared with the answer, which may come after the wait gave up.
    auto slot = std::make_shared<Slot>();
    auto semaphore = std::make_shared<plat::DispatchSemaphore>(0);
    plat::UNUserNotificationCenter::currentNotificationCenter()->getNotificationCategoriesWithCompletionHandler(
        [slot, semaphore](std::vector<plat::UNNotificationCategory> categories) {
            {
                std::lock_guard lock(slot->mutex);
                slot->categories = std::move(categories);
            }
            semaphore->signal();
        });
    semaphore->wait(kCategoryReadWait);
    std::lock_guard lock(slot->mutex);
    return slot->categories;
}

void RadIrivozHelper::addAttachments(const RINotificationPayload& payload,
                                     plat::UNMutableNotificationContent& content) {
    const auto& attachments = payload.attachments();
    if (!attachments) {
        return;
    }
    std::vector<std::shared_ptr<const plat::UNNotificationAttachment>> made;
    for (const auto& [identifier, value] : *attachments) {
        const std::string* raw = value.ifString();
        const auto text = raw ? trimURLSpacing(*raw) : std::nullopt;
        if (!text) {
            continue;
        }
        const auto url = plat::URL::parse(*text);
        if (url && isWWWScheme(*url)) {
            if (auto name = downloadMediaAndSaveInBundle(*text)) {
                if (auto attachment = attachmentForFile(identifier, cachesDirectory() + "/" + *name)) {
                    made.push_back(std::move(*attachment));
                }
            }
            continue;
        }
        // A bundle resource: the payload comes from the network, so its name must stay inside the bundle.
        if (namesOutsideOfBundle(*text)) {
            RadIrivoz::radirivoz_Log(ONE_S_LOG_LEVEL::ONE_S_LL_WARN,
                                     "RadIrivoz refused the attachment file name: " + *text);
            continue;
        }
        const size_t dot = text->rfind('.');
        if (dot == std::string::npos) {
            continue;
        }
        auto bundle = plat::Bundle::main();
        auto path = bundle ? bundle->pathForResource(text->substr(0, dot), text->substr(dot + 1)) : std::nullopt;
        if (path) {
            if (auto attachment = attachmentForFile(identifier, *path)) {
                made.push_back(std::move(*attachment));
            }
        }
    }
    content.setAttachments(std::move(made));
}

std::optional<std::string> RadIrivozHelper::downloadMediaAndSaveInBundle(const std::string& urlString) {
    const auto url = plat::URL::parse(urlString);
    if (!url) {
        return std::nullopt;
    }
    std::optional<std::string> extension;
    if (std::string fromPath = url->pathExtension(); !fromPath.empty()) {
        if (!isSupportedMediaExtension(fromPath)) {
            return std::nullopt;
        }
        extension = std::move(fromPath);
    }
    const std::string directory = cachesDirectory();
    if (auto made = plat::FileManager::defaultManager().createDirectory(directory, true); !made.ok()) {
        logMediaError(downloadErrorText(urlString));
        return std::nullopt;
    }
    auto saved = downloadMediaInto(*url, extension, directory);
    if (!saved.ok()) {
        logMediaError(downloadErrorText(urlString));
        return std::nullopt;
    }
    if (!*saved) {
        return std::nullopt;
    }
    const std::string& name = **saved;
    auto& defaults = plat::UserDefaults::standardUserDefaults();
    plat::Array cached = defaults.array(kCachedMediaKey).value_or(plat::Array{});
    cached.push_back(plat::Value(name));
    defaults.set(kCachedMediaKey, plat::Value(std::move(cached)));
    defaults.synchronize();
    return name;
}

void RadIrivozHelper::clearCachedMedia() {}

plat::UIBackgroundTaskIdentifier RadIrivozHelper::beginBackgroundMediaTask() {
    auto application = plat::UIApplication::sharedApplication();
    if (!application) {
        return plat::UIBackgroundTaskInvalid;
    }
    // The expiry handler ends exactly the task it belongs to.
    auto task = std::make_shared<std::atomic<plat::UIBackgroundTaskIdentifier>>(plat::UIBackgroundTaskInvalid);
    task->store(application->beginBackgroundTaskWithExpirationHandler([task] { endBackgroundMediaTask(task->load()); }));
    return task->load();
}

void RadIrivozHelper::endBackgroundMediaTask(plat::UIBackgroundTaskIdentifier identifier) {
    auto application = plat::UIApplication::sharedApplication();
    if (application && identifier != plat::UIBackgroundTaskInvalid) {
        application->endBackgroundTask(identifier);
    }
}

std::string RadIrivozHelper::cachesDirectory() {
    auto folders = plat::FileManager::defaultManager().urls(plat::SearchPathDirectory::Caches);
    return folders.empty() ? plat::FileManager::defaultManager().temporaryDirectory() : folders.front();
}
