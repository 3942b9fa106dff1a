#include "platform/webkit/SimWeb.hpp"

#include "platform/webkit/UIWebView.hpp"
#include "platform/webkit/WKWebView.hpp"
#include "platform/webkit/WebEngine.hpp"

namespace plat::sim {

Web::Web(const std::shared_ptr<WKWebView>& view) : engine_(view->engine()) {}
Web::Web(const std::shared_ptr<UIWebView>& view) : engine_(view->engine()) {}

void Web::clickLink(const std::string& url) {
    engine_->clickLink(url);
}

void Web::submitForm(const std::string& url, const std::string& method,
                     const std::vector<std::pair<std::string, std::string>>& fields) {
    engine_->submitForm(url, method, fields);
}

void Web::scriptNavigate(const std::string& url) {
    engine_->scriptNavigate(url);
}
bool Web::back() {
    return engine_->goBack() != nullptr;
}
bool Web::reload() {
    return engine_->reload() != nullptr;
}
uint64_t Web::raiseAlert(const std::string& message) {
    return engine_->raiseAlert(message);
}
uint64_t Web::raiseConfirm(const std::string& message) {
    return engine_->raiseConfirm(message);
}
uint64_t Web::raisePrompt(const std::string& message, const std::optional<std::string>& defaultText) {
    return engine_->raisePrompt(message, defaultText);
}
void Web::windowOpen(const std::string& url) {
    engine_->windowOpen(url);
}
void Web::windowClose() {
    engine_->windowClose();
}
bool Web::postScriptMessage(const std::string& name, const Value& body) {
    return engine_->postScriptMessage(name, body);
}
void Web::scriptAnswer(const std::string& script, Value answer) {
    engine_->setScriptAnswer(script, std::move(answer));
}
bool Web::finishLoad() {
    return engine_->finishLoad();
}
bool Web::failLoad(const Error& error) {
    return engine_->failLoad(error);
}
WebPageInfo Web::page() const {
    return engine_->page();
}

} // namespace plat::sim
