// Tags on the player record (merged, sent 5 s after the last write, to the push and the e-mail player),
// tag reads, and notifications created through the push service.

#include "RadIrivozSDK/Source/RadIrivoz.hpp"
#include "RadIrivozSDK/Source/RadIrivozHelper.hpp"
#include "RadIrivozSDK/Source/RadIrivozRequests.hpp"
#include "RadIrivozSDK/Source/RadIrivozState.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/DateFormatter.hpp"
#include "platform/foundation/Json.hpp"
#include "platform/foundation/TimeZone.hpp"

namespace {

constexpr double kTagSendDelay = 5.0;

void tagLog(ONE_S_LOG_LEVEL level, const std::string& message) {
    RadIrivoz::radirivoz_Log(level, message);
}

bool tagsGated(const char* name) {
    return RadIrivoz::shouldLogMissingPrivacyConsentErrorWithMethodName(std::string(name));
}

// The text parsed as JSON; none after the two warnings of `what`.
std::optional<plat::Value> parseTagJson(std::string_view json, const char* what) {
    auto parsed = plat::JSONSerialization::jsonObject(json);
    if (!parsed.ok()) {
        tagLog(ONE_S_LOG_LEVEL::ONE_S_LL_WARN, std::string(what) + " JSON Parse Error: " + parsed.error().description());
        tagLog(ONE_S_LOG_LEVEL::ONE_S_LL_WARN, std::string(what) + " JSON Parse Error, JSON: " + std::string(json));
        return std::nullopt;
    }
    return *parsed;
}

void scheduleTagSend() {
    withRadIrivozClassState([](RadIrivozClassState& s) {
        s.tagSend.cancel();
        s.tagSend = plat::DispatchQueue::main()->asyncAfter(kTagSendDelay, [] { RadIrivoz::sendTagsToServer(); });
    });
}

} // namespace

void RadIrivoz::sendTag(const std::string& key, const std::optional<plat::Value>& value, RIResultSuccessBlock success,
                        RIFailureBlock failure) {
    if (tagsGated(success || failure ? "sendTag:value:onSuccess:onFailure:" : "sendTag:value:")) {
        return;
    }
    plat::Dictionary tags;
    if (value) {
        tags.set(key, *value);
    }
    sendTags(plat::Value(std::move(tags)), std::move(success), std::move(failure));
}

void RadIrivoz::sendTags(const plat::Value& tags, RIResultSuccessBlock success, RIFailureBlock failure) {
    if (tagsGated(success || failure ? "sendTags:onSuccess:onFailure:" : "sendTags:")) {
        return;
    }
    const plat::Dictionary* dictionary = tags.ifDictionary();
    if (!dictionary || !plat::JSONSerialization::isValidJSONObject(tags)) {
        tagLog(ONE_S_LOG_LEVEL::ONE_S_LL_WARN,
               "sendTags JSON Invalid: The following key/value pairs you attempted to send as tags are not valid JSON: " +
                   tags.description());
        return;
    }
    for (const auto& [key, value] : *dictionary) {
        if (value.isDictionary()) {
            tagLog(ONE_S_LOG_LEVEL::ONE_S_LL_WARN, "sendTags Tags JSON must not contain nested objects");
            return;
        }
    }
    withRadIrivozClassState([&](RadIrivozClassState& s) {
        if (!s.pendingTags) {
            s.pendingTags = plat::Dictionary{};
        }
        for (const auto& [key, value] : *dictionary) {
            s.pendingTags->set(key, value);
        }
        if (success || failure) {
            s.pendingTagCallbacks.push_back(RIPendingCallbacks{std::move(success), std::move(failure)});
        }
    });
    if (currentSubscriptionState()->userId()) {
        scheduleTagSend();
    }
}

void RadIrivoz::sendTagsWithJsonString(std::string_view json) {
    if (tagsGated("sendTagsWithJsonString:")) {
        return;
    }
    if (auto tags = parseTagJson(json, "sendTags")) {
        sendTags(*tags);
    }
}

void RadIrivoz::sendTagsToServer() {
    if (shouldLogMissingPrivacyConsentErrorWithMethodName(std::nullopt)) {
        return;
    }
    std::vector<RIPendingCallbacks> callbacks;
    auto tags = takePendingTags(callbacks);
    if (!tags) {
        return;
    }
    std::map<std::string, RadIrivozRequestPtr> requests;
    const plat::Value tagValue(*tags);
    requests["push"] = RIRequestSendTagsToServer::withUserId(currentSubscriptionState()->userId(), app_id(), tagValue,
                                                             RadIrivozHelper::getNetType(), std::nullopt);
    auto email = currentEmailSubscriptionState();
    if (auto emailUserId = email->emailUserId(); emailUserId && (!email->requiresEmailAuth() || email->emailAuthCode())) {
        requests["email"] = RIRequestSendTagsToServer::withUserId(emailUserId, app_id(), tagValue,
                                                                  RadIrivozHelper::getNetType(), email->emailAuthCode());
    }
    RadIrivozClient::sharedClient().executeSimultaneousRequests(
        requests,
        [callbacks](const plat::Dictionary& results) {
            const plat::Value* reply = results.find("push");
            if (!reply) {
                reply = results.find("email");
            }
            for (const auto& entry : callbacks) {
                if (entry.successBlock) {
                    entry.successBlock(reply ? std::optional<plat::Value>(*reply) : std::nullopt);
                }
            }
        },
        [callbacks](const std::map<std::string, plat::Error>& errors) {
            auto it = errors.find("push");
            if (it == errors.end()) {
                it = errors.find("email");
            }
            if (it == errors.end()) {
                return;
            }
            for (const auto& entry : callbacks) {
                if (entry.failureBlock) {
                    entry.failureBlock(it->second);
                }
            }
        });
}

std::optional<plat::Dictionary> RadIrivoz::takePendingTags(std::vector<RIPendingCallbacks>& callbacks) {
    return withRadIrivozClassState([&](RadIrivozClassState& s) {
        callbacks = std::exchange(s.pendingTagCallbacks, {});
        return std::exchange(s.pendingTags, std::nullopt);
    });
}

void RadIrivoz::replayPendingTagWork() {
    auto [waitingRead, tagsWait] = withRadIrivozClassState([](RadIrivozClassState& s) {
        return std::pair(std::exchange(s.pendingGetTags, std::nullopt), s.pendingTags.has_value());
    });
    if (waitingRead) {
        getTags(waitingRead->successBlock, waitingRead->failureBlock);
    }
    if (tagsWait) {
        scheduleTagSend();
    }
}

void RadIrivoz::getTags(RIResultSuccessBlock success, RIFailureBlock failure) {
    if (tagsGated(failure ? "getTags:onFailure:" : "getTags:")) {
        return;
    }
    auto userId = currentSubscriptionState()->userId();
    if (!userId) {
        withRadIrivozClassState([&](RadIrivozClassState& s) {
            s.pendingGetTags = RIPendingCallbacks{std::move(success), std::move(failure)};
        });
        return;
    }
    RadIrivozClient::sharedClient().executeRequest(
        RIRequestGetTags::withUserId(userId, app_id()),
        [success](const std::optional<plat::Value>& reply) {
            if (!success) {
                return;
            }
            const plat::Value* tags = reply ? reply->ifDictionary() ? reply->asDictionary().find("tags") : nullptr
                                            : nullptr;
            success(tags ? std::optional<plat::Value>(*tags) : std::nullopt);
        },
        [failure](const plat::Error& error) {
            if (failure) {
                failure(error);
            }
        });
}

void RadIrivoz::deleteTag(const std::string& key, RIResultSuccessBlock success, RIFailureBlock failure) {
    if (tagsGated(success || failure ? "deleteTag:onSuccess:onFailure:" : "deleteTag:")) {
        return;
    }
    deleteTags({key}, std::move(success), std::move(failure));
}

void RadIrivoz::deleteTags(const std::vector<std::string>& keys, RIResultSuccessBlock success,
                           RIFailureBlock failure) {
    if (!(success || failure) && tagsGated("deleteTags:")) {
        return;
    }
    plat::Dictionary deletions;
    for (const std::string& key : keys) {
        // Always sent: a value only waiting locally may replace one the server already has, so dropping the
        // local one alone would leave the server's old value in place.
        deletions.set(key, plat::Value(""));
    }
    sendTags(plat::Value(std::move(deletions)), std::move(success), std::move(failure));
}

void RadIrivoz::deleteTagsWithJsonString(std::string_view json) {
    if (tagsGated("deleteTagsWithJsonString:")) {
        return;
    }
    auto parsed = parseTagJson(json, "deleteTags");
    if (!parsed) {
        return;
    }
    std::vector<std::string> keys;
    if (const plat::Array* list = parsed->ifArray()) {
        for (const plat::Value& key : *list) {
            if (const std::string* text = key.ifString()) {
                keys.push_back(*text);
            }
        }
    } else if (const plat::Dictionary* object = parsed->ifDictionary()) {
        for (const auto& [key, value] : *object) {
            keys.push_back(key);
        }
    }
    deleteTags(keys);
}

void RadIrivoz::postNotification(const plat::Dictionary& notification, RIResultSuccessBlock success,
                                 RIFailureBlock failure) {
    if (tagsGated(success || failure ? "postNotification:onSuccess:onFailure:" : "postNotification:")) {
        return;
    }
    plat::Dictionary body = notification;
    convertDatesToISO8061Strings(body);
    RadIrivozClient::sharedClient().executeRequest(
        RIRequestPostNotification::withAppId(app_id(), std::move(body)),
        [success](const std::optional<plat::Value>& reply) {
            plat::DispatchQueue::main()->async([success, reply] {
                auto text = plat::JSONSerialization::string(reply.value_or(plat::Value()),
                                                            plat::JSONSerialization::WritingFragmentsAllowed);
                tagLog(ONE_S_LOG_LEVEL::ONE_S_LL_DEBUG,
                       "HTTP create notification success " + (text.ok() ? *text : std::string("(null)")));
                if (success) {
                    success(reply);
                }
            });
        },
        [failure](const plat::Error& error) {
            plat::DispatchQueue::main()->async([failure, error] {
                tagLog(ONE_S_LOG_LEVEL::ONE_S_LL_ERROR, "Create notification failed");
                tagLog(ONE_S_LOG_LEVEL::ONE_S_LL_INFO, error.description());
                if (failure) {
                    failure(error);
                }
            });
        });
}

void RadIrivoz::postNotificationWithJsonString(std::string_view json, RIResultSuccessBlock success,
                                               RIFailureBlock failure) {
    if (tagsGated("postNotificationWithJsonString:onSuccess:onFailure:")) {
        return;
    }
    auto parsed = parseTagJson(json, "postNotification");
    if (!parsed) {
        return;
    }
    const plat::Dictionary* object = parsed->ifDictionary();
    if (!object) {
        tagLog(ONE_S_LOG_LEVEL::ONE_S_LL_WARN, "postNotification JSON Parse Error: not a JSON object");
        tagLog(ONE_S_LOG_LEVEL::ONE_S_LL_WARN, "postNotification JSON Parse Error, JSON: " + std::string(json));
        return;
    }
    postNotification(*object, std::move(success), std::move(failure));
}

void RadIrivoz::convertDatesToISO8061Strings(plat::Dictionary& dictionary) {
    const plat::DateFormatter formatter("yyyy-MM-dd'T'HH:mm:ssZZZZZ", "en_US_POSIX", plat::TimeZone::local());
    for (auto& [key, value] : dictionary) {
        if (auto date = value.ifDate()) {
            value = plat::Value(formatter.string(*date));
        }
    }
}

std::string RadIrivoz::parseNSErrorAsJsonString(const plat::Error& error) {
    const plat::Value* returned = error.userInfo.find("returned");
    if (!returned) {
        return R"({"error": "HTTP no response error"})";
    }
    auto text = plat::JSONSerialization::string(*returned, plat::JSONSerialization::WritingFragmentsAllowed);
    if (!text.ok()) {
        tagLog(ONE_S_LOG_LEVEL::ONE_S_LL_ERROR, text.error().description());
        return R"({"error": "Unknown error parsing error response."})";
    }
    return *text;
}
