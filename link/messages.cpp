#include "link/messages.h"

#include <cstdio>

namespace tavrel {

namespace {
StderrMessageSink g_stderrSink;
MessageSink *g_sink = nullptr;
} // namespace

void StderrMessageSink::show(const Message &message)
{
    const char *prefix = message.kind == MessageKind::Error     ? "Erreur : "
                         : message.kind == MessageKind::Warning ? "Attention : "
                                                                : "";
    std::fprintf(stderr, "%s%s\n", prefix, message.text.toUtf8().constData());
    std::fflush(stderr);
}

QStringList RecordingMessageSink::texts() const
{
    QStringList out;
    for (const Message &m : shown)
        out << m.text;
    return out;
}

MessageSink &messageSink() { return g_sink ? *g_sink : g_stderrSink; }

void setMessageSink(MessageSink *sink) { g_sink = sink; }

void showMessage(MessageKind kind, const QString &text)
{
    messageSink().show(Message{kind, applicationTitle(), text});
}

} // namespace tavrel
