#include "platform/webkit/WebRecorder.hpp"

#include "platform/foundation/Console.hpp"
#include "platform/foundation/NeverDestroyed.hpp"

namespace plat::sim {

WebRecorder& WebRecorder::shared() {
    static NeverDestroyed<WebRecorder> recorder;
    return *recorder;
}

void WebRecorder::navigation(WebNavigationRecord record) {
    std::lock_guard lock(mutex_);
    navigations_.push_back(std::move(record));
}

void WebRecorder::decided(uint64_t index, bool allowed) {
    std::string url;
    {
        std::lock_guard lock(mutex_);
        if (index >= navigations_.size()) {
            return;
        }
        navigations_[index].allowed = allowed;
        url = navigations_[index].url;
    }
    printDevice(std::string("web navigation ") + (allowed ? "allowed: " : "cancelled: ") + url);
}

void WebRecorder::load(WebLoadRecord record) {
    std::string line;
    if (record.errorCode) {
        line = "web page failed (" + std::to_string(*record.errorCode) + "): " + record.url;
        if (!record.errorText.empty()) {
            line += ": " + record.errorText;
        }
    } else {
        line = "web page loaded (" + std::to_string(record.statusCode) + "): " + record.url;
        if (!record.title.empty()) {
            line += " \"" + record.title + "\"";
        }
    }
    {
        std::lock_guard lock(mutex_);
        loads_.push_back(std::move(record));
    }
    printDevice(line);
}

uint64_t WebRecorder::panel(WebPanelRecord record) {
    const std::string line = "web " + record.kind + " panel: " + record.message +
                             (record.delegateAsked ? "" : " (no UI delegate method)");
    uint64_t index = 0;
    {
        std::lock_guard lock(mutex_);
        panels_.push_back(std::move(record));
        index = panels_.size() - 1;
    }
    printDevice(line);
    return index;
}

void WebRecorder::panelAnswered(uint64_t index, Value answer) {
    std::lock_guard lock(mutex_);
    if (index < panels_.size()) {
        panels_[index].answered = true;
        panels_[index].answer = std::move(answer);
    }
}

void WebRecorder::windowOpened(const std::string& url, bool opened) {
    {
        std::lock_guard lock(mutex_);
        windows_.push_back(url);
    }
    printDevice(std::string("web window.open ") + (opened ? "opened: " : "refused: ") + url);
}

void WebRecorder::windowClosed() {
    {
        std::lock_guard lock(mutex_);
        ++closes_;
    }
    printDevice("web window.close");
}

void WebRecorder::script(const std::string& source) {
    std::lock_guard lock(mutex_);
    scripts_.push_back(source);
}

void WebRecorder::userScript(const std::string& source) {
    std::lock_guard lock(mutex_);
    userScripts_.push_back(source);
}

void WebRecorder::scriptMessage(const std::string& name) {
    std::lock_guard lock(mutex_);
    messages_.push_back(name);
}

void WebRecorder::handlerFault(const std::string& what) {
    {
        std::lock_guard lock(mutex_);
        faults_.push_back(what);
    }
    printDevice("warning: " + what);
}

std::vector<WebNavigationRecord> WebRecorder::navigations() const {
    std::lock_guard lock(mutex_);
    return navigations_;
}
std::vector<WebLoadRecord> WebRecorder::loads() const {
    std::lock_guard lock(mutex_);
    return loads_;
}
std::vector<WebPanelRecord> WebRecorder::panels() const {
    std::lock_guard lock(mutex_);
    return panels_;
}
std::vector<std::string> WebRecorder::windowsOpened() const {
    std::lock_guard lock(mutex_);
    return windows_;
}
int WebRecorder::windowCloses() const {
    std::lock_guard lock(mutex_);
    return closes_;
}
std::vector<std::string> WebRecorder::scripts() const {
    std::lock_guard lock(mutex_);
    return scripts_;
}
std::vector<std::string> WebRecorder::userScripts() const {
    std::lock_guard lock(mutex_);
    return userScripts_;
}
std::vector<std::string> WebRecorder::scriptMessages() const {
    std::lock_guard lock(mutex_);
    return messages_;
}
std::vector<std::string> WebRecorder::handlerFaults() const {
    std::lock_guard lock(mutex_);
    return faults_;
}

} // namespace plat::sim
