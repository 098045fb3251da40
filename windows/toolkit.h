#pragma once
// The few toolkit operations the handlers rely on, all through the time base
// and the message seam so that tests stay in virtual time.

#include "link/messages.h"

#include <QDateTime>

namespace tavrel {

// Let pending window events run, then return.
void yieldEvents();

// The clock's time of day, to the whole second, with its date.
QDateTime timeOfDay();

// A box with an OK button only and the program's title as caption; it holds
// up nothing, except for the trace messages of the diagnostic switch.
class QtMessageBoxSink final : public MessageSink {
public:
    void show(const Message &message) override;
};

} // namespace tavrel
