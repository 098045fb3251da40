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

QString visibleText(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == u'\0')
            out += QLatin1String("\\0");
        else if (u == u'\t')
            out += QLatin1String("\\t");
        else if (u == u'\n')
            out += QLatin1String("\\n");
        else if (u == u'\r')
            out += QLatin1String("\\r");
        else if (u < 0x20 || u == 0x7f || (u >= 0x80 && u < 0xa0))
            out += QStringLiteral("\\x%1").arg(unsigned(u), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

} // namespace tavrel
