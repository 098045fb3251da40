#include "app/web/web_address.h"

#include <QNetworkInterface>
#include <QUrl>
#include <qrencode.h>

namespace tavrel::web {

std::optional<WebAddress> parseWebAddress(const QString &text)
{
    WebAddress where;
    QString port = text;
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon >= 0) {
        QString host = text.left(colon);
        port = text.mid(colon + 1);
        if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
            host = host.mid(1, host.size() - 2);
        if (!where.address.setAddress(host))
            return std::nullopt;
    }
    bool ok = false;
    const uint number = port.toUInt(&ok);
    if (!ok || number > 65535 || port.startsWith(QLatin1Char('+')))
        return std::nullopt;
    where.port = quint16(number);
    return where;
}

QStringList pageUrls(const QHostAddress &listening, quint16 port, const QByteArray &key)
{
    QList<QHostAddress> hosts;
    const bool everywhere = listening == QHostAddress::Any || listening == QHostAddress::AnyIPv4
                            || listening == QHostAddress::AnyIPv6;
    if (everywhere) {
        for (const QHostAddress &a : QNetworkInterface::allAddresses())
            if (a.protocol() == QAbstractSocket::IPv4Protocol && !a.isLoopback() && !a.isLinkLocal())
                hosts.append(a);
        hosts.append(QHostAddress(QHostAddress::LocalHost));
    } else {
        hosts.append(listening);
    }
    QStringList urls;
    for (const QHostAddress &a : hosts) {
        QUrl url;
        url.setScheme(QStringLiteral("http"));
        url.setHost(a.toString());
        url.setPort(port);
        url.setPath(QStringLiteral("/"));
        url.setQuery(QStringLiteral("cle=") + QString::fromLatin1(key));
        urls.append(url.toString());
    }
    return urls;
}

QStringList qrLines(const QByteArray &text)
{
    QRcode *code = QRcode_encodeString(text.constData(), 0, QR_ECLEVEL_M, QR_MODE_8, 1);
    if (!code)
        return {};
    constexpr int kQuiet = 2;
    const int width = code->width;
    const auto light = [&](int row, int col) {
        if (row < 0 || col < 0 || row >= width || col >= width)
            return true;
        return (code->data[row * width + col] & 1) == 0;
    };
    QStringList lines;
    for (int row = -kQuiet; row < width + kQuiet; row += 2) {
        QString line;
        for (int col = -kQuiet; col < width + kQuiet; ++col) {
            const bool top = light(row, col);
            const bool bottom = row + 1 < width + kQuiet ? light(row + 1, col) : false;
            line += top && bottom ? QChar(0x2588) : top ? QChar(0x2580) : bottom ? QChar(0x2584) : QChar(' ');
        }
        lines.append(line);
    }
    QRcode_free(code);
    return lines;
}

} // namespace tavrel::web
