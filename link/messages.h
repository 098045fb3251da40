#pragma once
// Where the program's own messages go: trace boxes of the link, and the clear
// French messages that bad settings, bad inputs and bad files get. The windows
// put up a modal box; the headless runner prints; tests record.

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
    // Blocks until the user has read it, where there is a user to read it.
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

} // namespace tavrel
