#pragma once
// Where the page listens (--web [ADDR:]PORT), the addresses a phone can open,
// and the QR code of one of them drawn with block characters in the terminal.

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <optional>

namespace tavrel::web {

struct WebAddress {
    QHostAddress address = QHostAddress::Any; // Any: every address of the machine
    quint16 port = 0;                          // 0: a free port, chosen at start
};

// "8080", "127.0.0.1:8080", "[::1]:8080"; nothing when it is not one.
std::optional<WebAddress> parseWebAddress(const QString &text);

// The page's addresses with the key, the most likely to be reached from a
// phone first: those of the local network before the machine's own.
QStringList pageUrls(const QHostAddress &listening, quint16 port, const QByteArray &key);

// The QR code of `text`, two rows of modules per line, light modules drawn:
// a terminal shows it light on dark, which phones read as well as the usual
// way round. Empty if it cannot be made.
QStringList qrLines(const QByteArray &text);

} // namespace tavrel::web
