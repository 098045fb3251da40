#pragma once
// Where the program's own messages go: trace boxes of the link, and the clear
// French messages that bad settings, bad inputs and bad files get. The windows
// put up a box that holds up nothing; the headless runner prints; tests record.

#include <QList>
#include <QString>

namespace tavrel {

enum class MessageKind { Trace, Warning, Error };

struct Message {
    MessageKind kind;
    QString caption;
    QString text;
};

class MessageSink {
public:
    virtual ~MessageSink() = default;
    // Returns at once: no message may hold up a running exposure (only the
    // diagnostic trace boxes wait for their click).
    virtual void show(const Message &message) = 0;
};

// Prints to standard error; the default until a window or a test sets another.
class StderrMessageSink final : public MessageSink {
public:
    void show(const Message &message) override;
};

class RecordingMessageSink final : public MessageSink {
public:
    void show(const Message &message) override { shown.append(message); }
    QStringList texts() const;
    QList<Message> shown;
};

MessageSink &messageSink();
void setMessageSink(MessageSink *sink);

// The caption every box of the program carries.
inline QString applicationTitle() { return QStringLiteral("Tavrel"); }

void showMessage(MessageKind kind, const QString &text);

// A value the user typed or a file holds, as a message quotes it: control
// characters are written visibly ("\0", "\t", "\x1b"), since a NUL would end
// the message there on its way to a box or a terminal, before its reason,
// and the others would garble it or vanish.
QString visibleText(const QString &text);

} // namespace tavrel
