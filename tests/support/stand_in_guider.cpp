#include "support/stand_in_guider.h"

#include "link/guider_client.h"
#include "link/timebase.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QTest>

namespace tavrel::test {

StandInGuider::StandInGuider(QObject *parent) : QObject(parent)
{
    m_server.listen(QHostAddress::LocalHost, 0);
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *client = m_server.nextPendingConnection()) {
            m_clients << client;
            connect(client, &QTcpSocket::readyRead, this, [this, client] {
                while (client->canReadLine()) {
                    const QByteArray line = client->readLine();
                    bytesIn += line.size();
                    onLine(client, line);
                }
            });
            connect(client, &QTcpSocket::disconnected, this, [this, client] {
                m_clients.removeAll(client);
                client->deleteLater();
            });
            sendEvent(QStringLiteral("Version"), {{QStringLiteral("PHDVersion"), QStringLiteral("stand-in")},
                                                  {QStringLiteral("MsgVersion"), 1}});
            sendEvent(QStringLiteral("AppState"), {{QStringLiteral("State"), appState}});
        }
    });
    m_settle = timeBase().createOneShot([this] {
        const bool ok = answer == Answer::Settle;
        settleDoneUs << timeBase().monotonicUs();
        sendEvent(QStringLiteral("SettleDone"),
                  {{QStringLiteral("Status"), ok ? 0 : 1},
                   {QStringLiteral("Error"), ok ? QString() : QStringLiteral("timed-out waiting for guider to settle")}});
    });
}

StandInGuider::~StandInGuider() { dropClients(); }

void StandInGuider::sendEvent(const QString &name, QJsonObject fields)
{
    fields.insert(QStringLiteral("Event"), name);
    fields.insert(QStringLiteral("Timestamp"), double(QDateTime::currentMSecsSinceEpoch()) / 1000.0);
    fields.insert(QStringLiteral("Host"), QStringLiteral("stand-in"));
    fields.insert(QStringLiteral("Inst"), 1);
    sendRaw(QJsonDocument(fields).toJson(QJsonDocument::Compact) + "\r\n");
}

void StandInGuider::sendRaw(const QByteArray &bytes)
{
    for (QTcpSocket *c : std::as_const(m_clients))
        write(c, bytes);
}

void StandInGuider::write(QTcpSocket *client, const QByteArray &bytes)
{
    bytesOut += client->write(bytes);
    client->flush();
}

void StandInGuider::deliver(const GuiderClient *client)
{
    QCoreApplication::processEvents();
    const auto delivered = [&] { return client->bytesIn() == bytesOut && client->bytesOut() == bytesIn; };
    // A connection dropped on purpose never delivers all: the test's own
    // checks say what that changed.
    if (!delivered() && !QTest::qWaitFor(delivered, 2000))
        qDebug("bytes still in flight after 2 s");
}

void StandInGuider::dropClients()
{
    const auto clients = m_clients;
    m_clients.clear();
    for (QTcpSocket *c : clients) {
        c->disconnect(this);
        c->abort();
        c->deleteLater();
    }
}

void StandInGuider::onLine(QTcpSocket *client, const QByteArray &line)
{
    const QJsonObject request = QJsonDocument::fromJson(line).object();
    const QString method = request.value(QLatin1String("method")).toString();
    QJsonObject reply{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")}, {QStringLiteral("id"), request.value(QLatin1String("id"))}};
    if (method == QLatin1String("get_app_state")) {
        reply.insert(QStringLiteral("result"), appState);
    } else if (method == QLatin1String("dither")) {
        dithers << request.value(QLatin1String("params")).toObject();
        if (answer == Answer::Silent)
            return;
        if (answer == Answer::Refuse) {
            reply.insert(QStringLiteral("error"), QJsonObject{{QStringLiteral("code"), 1},
                                                             {QStringLiteral("message"), QStringLiteral("cannot dither if not guiding")}});
        } else {
            reply.insert(QStringLiteral("result"), 0);
            m_settle->start(settleMs);
        }
    } else {
        reply.insert(QStringLiteral("error"), QJsonObject{{QStringLiteral("code"), -32601},
                                                         {QStringLiteral("message"), QStringLiteral("method not found")}});
    }
    write(client, QJsonDocument(reply).toJson(QJsonDocument::Compact) + "\r\n");
    if (method == QLatin1String("dither") && answer != Answer::Refuse) {
        sendEvent(QStringLiteral("SettleBegin"));
        sendEvent(QStringLiteral("Settling"), {{QStringLiteral("Distance"), 2.5}, {QStringLiteral("Time"), 0},
                                               {QStringLiteral("SettleTime"), 10}, {QStringLiteral("StarLocked"), true}});
    }
}

} // namespace tavrel::test
