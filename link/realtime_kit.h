#pragma once
// Real-time priority through the desktop's RealtimeKit service, for a user
// whose own limits allow none (the usual case on a laptop): the service
// raises one thread of ours, within bounds it sets. Sound servers get their
// priority the same way.

#include <QString>
#include <sys/types.h>

namespace tavrel {

// Asks the service for round-robin real-time priority `priority` for the
// calling thread. Without a system bus or the service, or when it refuses,
// returns an empty string at once (at worst after a short time-out);
// otherwise what was obtained, for the logs.
QString raiseThroughRealtimeKit(int priority);

} // namespace tavrel
