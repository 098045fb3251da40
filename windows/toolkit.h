#pragma once
// The windows' side of the message seam: messages shown in boxes.

#include "link/messages.h"

namespace tavrel {

// A modal box with an OK button only and the program's title as caption.
class QtMessageBoxSink final : public MessageSink {
public:
    void show(const Message &message) override;
};

} // namespace tavrel
