#pragma once
// Answers that play tricks with the connection a request came on, for clients that reuse connections.

#include "devserver/Route.hpp"

namespace devserver {

// Gives `reply` to the first request of a connection and closes the connection, without an answer, when
// the next request arrives on it kept alive: the moment a client learns that a connection it took from
// its pool is gone only after it has sent a request down it.
Handler closeKeptAliveConnectionOnNextRequest(Reply reply);

} // namespace devserver
