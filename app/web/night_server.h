#pragma once
// The page for the night: a small HTTP server on the main thread's event
// loop that serves one embedded page, the state as JSON, a stream of updates
// (server-sent events) and the two stop buttons, to whoever holds the access
// key. Qt's HTTP server reads the requests; this class only decides what to
// answer. Nothing here may wait on a client: every write is buffered, every
// buffer bounded, and a client that reads nothing, dawdles or sends too much
// is cut off, so the run's timing never depends on the network.

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QPointer>

class QTcpSocket;

namespace tavrel::web {

class NightState;

struct ServerLimits {
    int maxConnections = 64;
    // A request (line, headers and body) larger than this gets 413.
    qint64 maxRequestBytes = 16 * 1024;
    // A client that lets this much of its updates pile up unread is dropped.
    qint64 maxUnsent = 256 * 1024;
    // A request must arrive whole within this time (408 otherwise); an idle
    // connection is closed after the second.
    int requestTimeoutMs = 10000;
    int idleTimeoutMs = 60000;
    // A comment on each update stream, so that a dead peer shows.
    int heartbeatMs = 15000;
};

// 128 random bits from the system's generator, as 32 hexadecimal digits.
QByteArray newAccessKey();

class NightServer final : public QAbstractHttpServer {
    Q_OBJECT
public:
    NightServer(NightState *state, QByteArray key, ServerLimits limits = {}, QObject *parent = nullptr);
    ~NightServer() override;

    // Listens; on failure returns false with the French reason.
    bool start(const QHostAddress &address, quint16 port, QString *error);
    quint16 port() const;
    const QByteArray &key() const { return m_key; }
    QString cookieName() const;

    int connectionCount() const { return m_connections; }
    int streamCount() const { return int(m_streams.size()); }

    // The run is over: the last state goes out, then every connection is
    // closed; waits at most `graceMs` for the writes to leave.
    void shutDown(int graceMs);

signals:
    // "Finir après la pose" and "Arrêter maintenant", pressed and confirmed.
    void finishAsked();
    void stopAsked();

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    class Listener;
    class Guard;
    friend class Listener;
    friend class Guard;

    bool hasKey(const QHttpServerRequest &request, bool *fromQuery) const;
    void openStream(const QHttpServerRequest &request, QTcpSocket *socket);
    void schedulePush();
    void push();
    void send(QTcpSocket *socket, const QByteArray &bytes);
    void heartbeat();

    NightState *m_state;
    QByteArray m_key;
    ServerLimits m_limits;
    Listener *m_listener = nullptr;
    int m_connections = 0;
    QList<QPointer<QTcpSocket>> m_streams;
    bool m_pushPending = false;
    bool m_shutDown = false;
    struct Beat;
    std::unique_ptr<Beat> m_beat;
};

} // namespace tavrel::web
