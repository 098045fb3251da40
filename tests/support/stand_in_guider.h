#pragma once
// A guider's event server for the tests, written from the protocol's public
// description: it greets each client (Version, AppState), answers
// get_app_state and dither, and after a dither sends SettleBegin, Settling
// and SettleDone on the time base (virtual time in engine tests). It can
// refuse, fail the settle, stay silent, send any event or any bytes, and
// drop its clients.

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <memory>

class QTcpSocket;

namespace tavrel {
class GuiderClient;
class OneShot;
} // namespace tavrel

namespace tavrel::test {

class StandInGuider final : public QObject {
    Q_OBJECT
public:
    enum class Answer { Settle, Refuse, FailSettle, Silent };

    explicit StandInGuider(QObject *parent = nullptr);
    ~StandInGuider() override;

    quint16 port() const { return m_server.serverPort(); }
    int clients() const { return int(m_clients.size()); }

    Answer answer = Answer::Settle;
    int settleMs = 3000;
    QString appState = QStringLiteral("Guiding");

    // The dither requests received, and when each SettleDone left (us).
    QList<QJsonObject> dithers;
    QList<std::int64_t> settleDoneUs;
    // Bytes that crossed the connections, either way.
    qint64 bytesIn = 0;
    qint64 bytesOut = 0;

    void sendEvent(const QString &name, QJsonObject fields = {});
    void sendRaw(const QByteArray &bytes);
    void dropClients();
    // Lets what was sent either way between `client` and this guider be
    // read: the loopback delivers it in real time, while a virtual clock
    // stands still.
    void deliver(const GuiderClient *client);
    void stopListening() { m_server.close(); }

private:
    void onLine(QTcpSocket *client, const QByteArray &line);
    void write(QTcpSocket *client, const QByteArray &bytes);

    QTcpServer m_server;
    QList<QTcpSocket *> m_clients;
    std::unique_ptr<OneShot> m_settle;
};

} // namespace tavrel::test
