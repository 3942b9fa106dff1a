#include "platform/webkit/OnceHandler.hpp"

#include "platform/webkit/WebRecorder.hpp"

namespace plat::detail {

OnceGuard::~OnceGuard() {
    if (calls_ == 0) {
        sim::WebRecorder::shared().handlerFault("completion handler was never called: " + what_);
    }
}

bool OnceGuard::enter() {
    if (++calls_ == 1) {
        return true;
    }
    sim::WebRecorder::shared().handlerFault("completion handler was called more than once: " + what_);
    return false;
}

} // namespace plat::detail
