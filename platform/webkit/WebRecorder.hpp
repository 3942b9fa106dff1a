#pragma once
// What the app asked of the simulated web views: navigations decided, pages finished or failed, panels
// raised and how they were answered, windows opened and closed, scripts evaluated, and completion handlers
// called twice or never. Tests read it; each event is also reported as a `[device]` line.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/Value.hpp"

namespace plat::sim {

struct WebNavigationRecord {
    std::string url;
    int64_t navigationType = -1;
    std::optional<bool> allowed; // none until the policy answered
};

struct WebLoadRecord {
    std::string url;
    int statusCode = 0; // 0 when the load failed or had no HTTP response
    std::string title;
    std::optional<int64_t> errorCode; // set for a failed load
    bool afterCommit = false;         // a failure after the page had committed
    std::string errorText; // a failed load's error as a person reads it (description, domain, code)
};

struct WebPanelRecord {
    std::string kind; // "alert", "confirm", "prompt"
    std::string message;
    bool delegateAsked = false; // false: no UI-delegate method, the default answer applies
    bool answered = false;
    Value answer; // confirm: bool; prompt: string or null
};

class WebRecorder {
public:
    static WebRecorder& shared();

    void navigation(WebNavigationRecord record);
    void decided(uint64_t index, bool allowed);
    void load(WebLoadRecord record);
    uint64_t panel(WebPanelRecord record);
    void panelAnswered(uint64_t index, Value answer);
    void windowOpened(const std::string& url, bool opened);
    void windowClosed();
    void script(const std::string& source);
    void userScript(const std::string& source);
    void scriptMessage(const std::string& name);
    // A completion handler misused: called a second time, or released without a call.
    void handlerFault(const std::string& what);

    std::vector<WebNavigationRecord> navigations() const;
    std::vector<WebLoadRecord> loads() const;
    std::vector<WebPanelRecord> panels() const;
    std::vector<std::string> windowsOpened() const;
    int windowCloses() const;
    std::vector<std::string> scripts() const;
    std::vector<std::string> userScripts() const;
    std::vector<std::string> scriptMessages() const;
    std::vector<std::string> handlerFaults() const;

private:
    WebRecorder() = default;
    friend class plat::NeverDestroyed<WebRecorder>;
    mutable std::mutex mutex_;
    std::vector<WebNavigationRecord> navigations_;
    std::vector<WebLoadRecord> loads_;
    std::vector<WebPanelRecord> panels_;
    std::vector<std::string> windows_;
    int closes_ = 0;
    std::vector<std::string> scripts_;
    std::vector<std::string> userScripts_;
    std::vector<std::string> messages_;
    std::vector<std::string> faults_;
};

} // namespace plat::sim
