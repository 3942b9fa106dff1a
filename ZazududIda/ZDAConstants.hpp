#pragma once
// The event kit's shared names: predefined event types, predefined attribute keys, lifecycle event names and
// the dictionary keys that several kinds of event share.

namespace zda {

// Predefined event types.
inline constexpr const char* kSignUp = "sign_up";
inline constexpr const char* kLogin = "login";
inline constexpr const char* kShare = "share";
inline constexpr const char* kInvite = "invite";
inline constexpr const char* kPurchase = "purchase";
inline constexpr const char* kLevelStart = "level_start";
inline constexpr const char* kLevelEnd = "level_end";
inline constexpr const char* kAddToCart = "add_to_cart";
inline constexpr const char* kStartCheckout = "start_checkout";
inline constexpr const char* kRating = "rating";
inline constexpr const char* kContentView = "content_view";
inline constexpr const char* kSearch = "search";

// Predefined attribute keys.
inline constexpr const char* kCurrency = "currency";
inline constexpr const char* kItemId = "item_id";
inline constexpr const char* kItemType = "item_type";
inline constexpr const char* kItemName = "item_name";
inline constexpr const char* kItemPrice = "item_price";
inline constexpr const char* kMethod = "method";
inline constexpr const char* kSuccess = "success";
inline constexpr const char* kLevelName = "level_name";
inline constexpr const char* kContentName = "content_name";
inline constexpr const char* kContentType = "content_type";
inline constexpr const char* kContentId = "content_id";
inline constexpr const char* kRatingKey = "rating";
inline constexpr const char* kScore = "score";
inline constexpr const char* kTotalPrice = "total_price";
inline constexpr const char* kItemCount = "item_count";
inline constexpr const char* kQuery = "query";

// Lifecycle and crash event names.
inline constexpr const char* kAppLaunched = "app_launched";
inline constexpr const char* kAppTerminated = "app_terminated";
inline constexpr const char* kAppCrashed = "app_crashed";
inline constexpr const char* kAppMemoryWarning = "app_memory_warning";
inline constexpr const char* kAppEnteredBackground = "app_entered_background";
inline constexpr const char* kAppEnteredForeground = "app_entered_foreground";
inline constexpr const char* kAppBecameInactive = "app_became_inactive";
inline constexpr const char* kAppBecameActive = "app_became_active";
inline constexpr const char* kAppInstalled = "app_installed";

// Dictionary keys.
inline constexpr const char* kEventIdKey = "eventId";
inline constexpr const char* kCustomAttributesKey = "custom_attributes";

} // namespace zda
