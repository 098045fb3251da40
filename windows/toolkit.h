#pragma once
// The windows' side of the message seam: messages shown in boxes.

#include "link/messages.h"

namespace tavrel {

// A box with an OK button only and the program's title as caption; it holds
// up nothing, except for the trace messages of the diagnostic switch.
class QtMessageBoxSink final : public MessageSink {
public:
    void show(const Message &message) override;
};

// Qt's own words (a text field's context menu, standard buttons) in French,
// like the rest of the program, whatever the desktop's language. Without
// Qt's translations installed they stay in English; returns whether they
// were found.
bool installQtTranslations();

} // namespace tavrel
