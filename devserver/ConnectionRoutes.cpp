#include "devserver/ConnectionRoutes.hpp"

namespace devserver {

Handler closeKeptAliveConnectionOnNextRequest(Reply reply) {
    return [reply = std::move(reply)](const RecordedRequest& request) {
        return request.onConnection > 1 ? Reply::dropped() : reply;
    };
}

} // namespace devserver
