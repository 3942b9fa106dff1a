#pragma once
// The actions the user can take on a notification, grouped by category; the app registers its categories
// with the centre and names one in each notification's content.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace plat {

struct UNNotificationAction {
    std::string identifier;
    std::string title;
    uint64_t options = 0; // UNNotificationActionOption*
    // Set for a text-input action: the button title and the placeholder of the text field.
    struct TextInput {
        std::string buttonTitle;
        std::string placeholder;
    };
    std::optional<TextInput> textInput;

    bool isTextInput() const { return textInput.has_value(); }
};

struct UNNotificationCategory {
    std::string identifier;
    std::vector<UNNotificationAction> actions;
    std::vector<std::string> intentIdentifiers;
    uint64_t options = 0; // UNNotificationCategoryOption*
};

} // namespace plat
