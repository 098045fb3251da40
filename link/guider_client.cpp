#include "link/guider_client.h"

#include "link/messages.h"
#include "link/settings.h"
#include "link/timebase.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QTcpSocket>
#include <cmath>
#include <functional>

namespace tavrel {

namespace {

// Read per pass of the event loop: a flood is taken in bites, and the
// socket's own buffer stops taking more from the system when full.
constexpr qint64 kReadChunk = 64 * 1024;
constexpr qint64 kSocketBuffer = 256 * 1024;

} // namespace

GuiderSettings readGuiderSettings()
{
    GuiderSettings s;
    const QString file = QString::fromLatin1(kSettingsFile);
    const QString section = QStringLiteral("Guidage");
    QStringList warnings;
    // Reads one key: absent or empty keeps the default; a value `accept`
    // refuses is reported once and the default kept.
    const auto read = [&](const char *key, const QString &expected, const QString &shownDefault,
                          const std::function<bool(const QString &)> &accept) {
        const QString value = ReadSetting(section, QString::fromLatin1(key), file);
        if (value.trimmed().isEmpty() || accept(value.trimmed()))
            return;
        const QString path = settingsFilePath();
        if (firstReport(path + QLatin1Char('\n') + section + QLatin1Char('\n') + QLatin1String(key)
                        + QLatin1Char('\n') + value))
            warnings << QStringLiteral("Le réglage %1=%2 de la section [Guidage] du fichier %3 ne convient pas : il "
                                       "faut %4. La valeur par défaut %5 est utilisée ; corrigez le fichier puis "
                                       "relancez Tavrel.")
                            .arg(QString::fromLatin1(key), value, path, expected, shownDefault);
    };
    const auto whole = [](int min, int max, int *out) {
        return [=](const QString &v) {
            bool ok = false;
            const int n = v.toInt(&ok);
            if (!ok || n < min || n > max)
                return false;
            *out = n;
            return true;
        };
    };
    const auto decimal = [](double min, double max, double *out) {
        return [=](QString v) {
            bool ok = false;
            const double d = v.replace(QLatin1Char(','), QLatin1Char('.')).toDouble(&ok);
            if (!ok || !std::isfinite(d) || d <= min || d > max)
                return false;
            *out = d;
            return true;
        };
    };
    read("Hote", QStringLiteral("un nom de machine ou une adresse"), s.host, [&](const QString &v) {
        if (v.contains(QLatin1Char(' ')))
            return false;
        s.host = v;
        return true;
    });
    read("Port", QStringLiteral("un port de 1 à 65535"), QStringLiteral("4400"), whole(1, 65535, &s.port));
    read("Decalage", QStringLiteral("un nombre entier de poses, 0 pour aucun décalage"), QStringLiteral("0"),
         whole(0, 1000000, &s.every));
    read("Pixels", QStringLiteral("un nombre de pixels plus grand que 0, jusqu'à 100"), QStringLiteral("3"),
         decimal(0, 100, &s.pixels));
    int raOnly = 0;
    read("RASeul", QStringLiteral("0 ou 1"), QStringLiteral("0"), whole(0, 1, &raOnly));
    s.raOnly = raOnly == 1;
    read("Tolerance", QStringLiteral("un nombre de pixels plus grand que 0, jusqu'à 100"), QStringLiteral("1.5"),
         decimal(0, 100, &s.tolerance));
    read("Stabilite", QStringLiteral("un nombre entier de secondes, de 0 à 3600"), QStringLiteral("10"),
         whole(0, 3600, &s.settleSeconds));
    read("DelaiMax", QStringLiteral("un nombre entier de secondes, de 1 à 3600"), QStringLiteral("60"),
         whole(1, 3600, &s.timeoutSeconds));
    for (const QString &w : std::as_const(warnings))
        showMessage(MessageKind::Warning, w);
    return s;
}

GuiderClient::GuiderClient(QObject *parent) : QObject(parent) {}

GuiderClient::~GuiderClient()
{
    // The socket's signals must not reach a half-destroyed client.
    if (m_socket)
        m_socket->disconnect(this);
}

void GuiderClient::open(const QString &host, int port)
{
    close();
    m_host = host;
    m_port = port;
    m_open = true;
    if (!m_retry)
        m_retry = timeBase().createOneShot([this] {
            // Either the attempt under way takes too long, or it is time for
            // the next one.
            if (m_socket && !m_connected && m_socket->state() != QAbstractSocket::UnconnectedState)
                onGone(QStringLiteral("pas de réponse après %1 s").arg(kAnswerTimeoutMs / 1000));
            else
                connectNow();
        });
    if (!m_answer)
        m_answer = timeBase().createOneShot([this] {
            m_ditherId = 0;
            emit ditherRefused(QStringLiteral("le guideur n'a pas répondu à la demande de décalage en %1 s")
                                   .arg(kAnswerTimeoutMs / 1000));
        });
    connectNow();
}

void GuiderClient::close()
{
    m_open = false;
    if (m_retry)
        m_retry->stop();
    if (m_answer)
        m_answer->stop();
    m_ditherId = 0;
    dropSocket();
    m_connected = false;
    m_buffer.clear();
    m_skipping = false;
    setState(GuiderState::Absent);
}

void GuiderClient::dropSocket()
{
    if (!m_socket)
        return;
    m_socket->disconnect(this);
    m_socket->abort();
    // Deleted from the event loop: this may run inside one of its signals.
    m_socket.release()->deleteLater();
}

void GuiderClient::connectNow()
{
    if (!m_open)
        return;
    dropSocket();
    m_socket = std::make_unique<QTcpSocket>();
    m_socket->setReadBufferSize(kSocketBuffer);
    connect(m_socket.get(), &QTcpSocket::connected, this, &GuiderClient::onConnected);
    connect(m_socket.get(), &QTcpSocket::readyRead, this, &GuiderClient::readSome);
    connect(m_socket.get(), &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        switch (error) {
        case QAbstractSocket::ConnectionRefusedError:
            return onGone(QStringLiteral("connexion refusée : rien n'écoute sur ce port"));
        case QAbstractSocket::HostNotFoundError:
            return onGone(QStringLiteral("machine « %1 » introuvable").arg(m_host));
        case QAbstractSocket::RemoteHostClosedError:
            return onGone(QStringLiteral("le guideur a fermé la connexion"));
        case QAbstractSocket::NetworkError:
            return onGone(QStringLiteral("réseau injoignable"));
        default:
            return onGone(m_socket->errorString());
        }
    });
    connect(m_socket.get(), &QTcpSocket::disconnected, this,
            [this] { onGone(QStringLiteral("le guideur a fermé la connexion")); });
    m_retry->start(kAnswerTimeoutMs);
    m_socket->connectToHost(m_host, quint16(m_port));
}

void GuiderClient::onConnected()
{
    m_retry->stop();
    m_connected = true;
    m_buffer.clear();
    m_skipping = false;
    // The guider says its state on its own when a client comes; asked all
    // the same, for a guider that would not.
    send(QByteArrayLiteral("{\"method\":\"get_app_state\",\"id\":0}\r\n"));
    // The state itself comes with the guider's answer, a moment later.
    emit connected();
}

void GuiderClient::onGone(const QString &why)
{
    if (!m_open)
        return;
    const bool wasConnected = m_connected;
    m_connected = false;
    dropSocket();
    if (m_ditherId != 0) {
        m_ditherId = 0;
        m_answer->stop();
        emit ditherRefused(why);
    }
    if (wasConnected && (m_state == GuiderState::Guiding || m_state == GuiderState::Settling))
        emit guidingTrouble(QStringLiteral("arrêté"));
    setState(GuiderState::Absent);
    emit connectionLost(why);
    m_retry->start(kReconnectMs);
}

bool GuiderClient::dither(const GuiderSettings &s)
{
    if (!m_connected)
        return false;
    m_ditherId = ++m_nextId;
    const QJsonObject settle{{QStringLiteral("pixels"), s.tolerance},
                             {QStringLiteral("time"), s.settleSeconds},
                             {QStringLiteral("timeout"), s.timeoutSeconds}};
    const QJsonObject request{{QStringLiteral("method"), QStringLiteral("dither")},
                              {QStringLiteral("params"),
                               QJsonObject{{QStringLiteral("amount"), s.pixels},
                                           {QStringLiteral("raOnly"), s.raOnly},
                                           {QStringLiteral("settle"), settle}}},
                              {QStringLiteral("id"), m_ditherId}};
    send(QJsonDocument(request).toJson(QJsonDocument::Compact) + "\r\n");
    m_answer->start(kAnswerTimeoutMs);
    return true;
}

void GuiderClient::send(const QByteArray &line)
{
    m_bytesOut += m_socket->write(line);
    m_socket->flush(); // what the system takes now; never waits
}

void GuiderClient::readSome()
{
    m_readQueued = false;
    if (!m_socket)
        return;
    const QByteArray chunk = m_socket->read(kReadChunk);
    m_bytesIn += chunk.size();
    qsizetype from = 0;
    while (from < chunk.size()) {
        const qsizetype end = chunk.indexOf('\n', from);
        const QByteArrayView piece(chunk.constData() + from, (end < 0 ? chunk.size() : end) - from);
        if (!m_skipping) {
            if (m_buffer.size() + piece.size() > kMaxLine) {
                // No line of the protocol is this long: what is left of it is
                // skipped, and the next line read as usual.
                m_buffer.clear();
                m_skipping = true;
            } else {
                m_buffer.append(piece);
            }
        }
        if (end < 0)
            break;
        if (!m_skipping)
            handleLine(m_buffer);
        if (!m_socket)
            return; // the line closed the connection
        m_buffer.clear();
        m_skipping = false;
        from = end + 1;
    }
    // More waiting: read on at the next pass, after whatever else is due.
    if (m_socket && m_socket->bytesAvailable() > 0 && !m_readQueued) {
        m_readQueued = true;
        QMetaObject::invokeMethod(this, &GuiderClient::readSome, Qt::QueuedConnection);
    }
}

void GuiderClient::handleLine(const QByteArray &line)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(line.trimmed(), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return; // not ours to read: dropped
    const QJsonObject o = doc.object();
    if (const QJsonValue event = o.value(QLatin1String("Event")); event.isString()) {
        handleEvent(event.toString(), o);
        return;
    }
    const QJsonValue id = o.value(QLatin1String("id"));
    if (id.isDouble() && id.toInt() == 0 && o.value(QLatin1String("result")).isString()) {
        handleEvent(QStringLiteral("AppState"), QJsonObject{{QStringLiteral("State"), o.value(QLatin1String("result"))}});
        return;
    }
    if (m_ditherId == 0 || !id.isDouble() || id.toInt() != m_ditherId)
        return;
    m_ditherId = 0;
    m_answer->stop();
    if (o.contains(QLatin1String("error"))) {
        const QJsonValue e = o.value(QLatin1String("error"));
        const QString message = e.isObject() ? e.toObject().value(QLatin1String("message")).toString() : e.toString();
        emit ditherRefused(QStringLiteral("le guideur a refusé le décalage (%1)")
                               .arg(message.isEmpty() ? QStringLiteral("sans raison donnée") : message.left(200)));
    } else {
        setState(GuiderState::Settling);
    }
}

void GuiderClient::handleEvent(const QString &event, const QJsonObject &o)
{
    if (event == QLatin1String("AppState")) {
        const QString s = o.value(QLatin1String("State")).toString();
        if (s == QLatin1String("Guiding"))
            setState(GuiderState::Guiding);
        else if (s == QLatin1String("LostLock"))
            setState(GuiderState::Lost);
        else
            setState(GuiderState::NotGuiding);
    } else if (event == QLatin1String("StartGuiding") || event == QLatin1String("Resumed")
               || (event == QLatin1String("GuideStep") && m_state != GuiderState::Settling)) {
        setState(GuiderState::Guiding);
    } else if (event == QLatin1String("SettleBegin")) {
        setState(GuiderState::Settling);
    } else if (event == QLatin1String("Settling")) {
        setState(GuiderState::Settling, o.value(QLatin1String("Distance")).toDouble());
    } else if (event == QLatin1String("SettleDone")) {
        const bool settled = o.value(QLatin1String("Status")).toInt(1) == 0;
        if (m_state == GuiderState::Settling)
            setState(GuiderState::Guiding);
        emit settleDone(settled, o.value(QLatin1String("Error")).toString().left(200));
    } else if (event == QLatin1String("StarLost") || event == QLatin1String("LockPositionLost")) {
        setState(GuiderState::Lost);
        emit guidingTrouble(QStringLiteral("perdu"));
    } else if (event == QLatin1String("GuidingStopped") || event == QLatin1String("Paused")
               || event == QLatin1String("LoopingExposures")) {
        const bool wasGuiding = m_state == GuiderState::Guiding || m_state == GuiderState::Settling;
        setState(GuiderState::NotGuiding);
        if (wasGuiding || event == QLatin1String("GuidingStopped"))
            emit guidingTrouble(QStringLiteral("arrêté"));
    }
}

void GuiderClient::setState(GuiderState s, double distance)
{
    if (s == m_state && distance == m_distance)
        return;
    m_state = s;
    m_distance = distance;
    emit stateChanged();
}

QString GuiderClient::stateText() const
{
    switch (m_state) {
    case GuiderState::Absent:
        return QStringLiteral("absent");
    case GuiderState::NotGuiding:
        return QStringLiteral("guidage arrêté");
    case GuiderState::Guiding:
        return QStringLiteral("guidage en cours");
    case GuiderState::Settling:
        return m_distance > 0 ? QStringLiteral("stabilisation (%1 px)").arg(QLocale(QLocale::French).toString(m_distance, 'f', 2))
                              : QStringLiteral("stabilisation");
    case GuiderState::Lost:
        return QStringLiteral("étoile perdue");
    }
    return QString();
}

} // namespace tavrel
