#include "app/web/night_server.h"

#include "app/web/night_state.h"
#include "link/timebase.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrlQuery>
#include <functional>

// The page is in a static library: its resource is registered by hand.
static void registerPage() { Q_INIT_RESOURCE(web); }

namespace tavrel::web {

using Status = QHttpServerResponder::StatusCode;

namespace {

constexpr auto kPagePath = ":/web/nuit.html";
constexpr auto kKeyParameter = "cle";

// Answers written before Qt's server has a request to answer (too many
// connections, too large, too slow, unreadable): a fixed text, then the
// connection closes.
QByteArray plainAnswer(int code, const QByteArray &reason, const QByteArray &text)
{
    const QByteArray body = text + '\n';
    return "HTTP/1.1 " + QByteArray::number(code) + ' ' + reason
           + "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " + QByteArray::number(body.size())
           + "\r\nConnection: close\r\n\r\n" + body;
}

// Same time whatever the guess: a key is not found out byte by byte.
bool sameKey(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

QByteArray headerValue(const QHttpServerRequest &request, const QByteArray &name)
{
    for (const auto &h : request.headers())
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    return {};
}

QByteArray cookieValue(const QHttpServerRequest &request, const QByteArray &name)
{
    for (const auto &h : request.headers()) {
        if (h.first.compare("cookie", Qt::CaseInsensitive) != 0)
            continue;
        for (const QByteArray &pair : h.second.split(';')) {
            const qsizetype eq = pair.indexOf('=');
            if (eq > 0 && pair.left(eq).trimmed() == name)
                return pair.mid(eq + 1).trimmed();
        }
    }
    return {};
}

const QByteArray &pageBytes()
{
    static const QByteArray page = [] {
        QFile f(QString::fromLatin1(kPagePath));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();
    return page;
}

} // namespace

QByteArray newAccessKey()
{
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    return QByteArray(reinterpret_cast<const char *>(words), sizeof words).toHex();
}

// ---------------------------------------------------------------------------
// One per connection, a child of its socket: counts what the client sends
// before Qt's server sees it, and times it. Connected to the socket before
// Qt's server is, so a request that grows too large is cut off (413) before
// it is kept in memory, and one that comes too slowly (408) or stalls does
// not hold a connection forever.
class NightServer::Guard final : public QObject {
public:
    Guard(QTcpSocket *socket, NightServer *server)
        : QObject(socket), m_socket(socket), m_server(server),
          m_timer(timeBase().createOneShot([this] { timedOut(); }))
    {
        ++m_server->m_connections;
        connect(socket, &QTcpSocket::readyRead, this, &Guard::onRead);
        connect(socket, &QAbstractSocket::stateChanged, this, &Guard::onState);
        m_timer->start(m_server->m_limits.requestTimeoutMs);
    }
    ~Guard() override
    {
        if (m_server)
            --m_server->m_connections;
    }

    static Guard *of(QTcpSocket *socket)
    {
        for (QObject *child : socket->children())
            if (auto *guard = dynamic_cast<Guard *>(child))
                return guard;
        return nullptr;
    }

    void requestHandled()
    {
        m_pending = 0;
        if (!m_stream)
            m_timer->start(m_server->m_limits.idleTimeoutMs);
    }
    void becameStream()
    {
        m_stream = true;
        m_timer->stop();
    }
    // Closes after what is written: no more requests are read.
    void closeAfterWrites()
    {
        m_closing = true;
        m_timer->stop();
        m_socket->disconnectFromHost();
    }
    void refuse(int code, const QByteArray &reason, const QByteArray &text)
    {
        if (m_closing)
            return;
        m_refused = true;
        m_socket->readAll();
        m_socket->write(plainAnswer(code, reason, text));
        closeAfterWrites();
    }

private:
    void onRead()
    {
        if (m_refused) {
            m_socket->readAll();
            return;
        }
        if (m_pending == 0 && !m_stream)
            m_timer->start(m_server->m_limits.requestTimeoutMs);
        m_pending += m_socket->bytesAvailable();
        if (m_pending > m_server->m_limits.maxRequestBytes)
            refuse(413, "Payload Too Large", "Requête trop grande.");
    }
    void onState(QAbstractSocket::SocketState state)
    {
        // Qt's server closes a connection whose request it cannot read,
        // without a word: the client is told why.
        if (state == QAbstractSocket::ClosingState && !m_closing && m_pending > 0) {
            m_closing = true;
            m_socket->write(plainAnswer(400, "Bad Request", "Requête illisible."));
        }
    }
    void timedOut()
    {
        if (m_pending > 0)
            refuse(408, "Request Timeout", "Requête trop lente.");
        else
            closeAfterWrites();
    }

    QTcpSocket *m_socket;
    QPointer<NightServer> m_server;
    std::unique_ptr<OneShot> m_timer;
    qint64 m_pending = 0;
    bool m_refused = false;
    bool m_closing = false;
    bool m_stream = false;
};

// Accepts connections up to the limit; past it, a short 503 and goodbye.
class NightServer::Listener final : public QTcpServer {
public:
    explicit Listener(NightServer *server) : QTcpServer(server), m_server(server) {}

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        if (m_server->m_shutDown || m_server->m_connections >= m_server->m_limits.maxConnections) {
            socket->write(plainAnswer(503, "Service Unavailable", "Trop de connexions."));
            socket->disconnectFromHost();
            return;
        }
        new Guard(socket, m_server);
        addPendingConnection(socket);
    }

private:
    NightServer *m_server;
};

struct NightServer::Beat {
    std::unique_ptr<OneShot> shot;
};

// ---------------------------------------------------------------------------

NightServer::NightServer(NightState *state, QByteArray key, ServerLimits limits, QObject *parent)
    : QAbstractHttpServer(parent), m_state(state), m_key(std::move(key)), m_limits(limits),
      m_beat(std::make_unique<Beat>())
{
    registerPage();
    connect(state, &NightState::changed, this, &NightServer::schedulePush);
    // Qt's server turns any WebSocket handshake into a connection of its own
    // after the request is answered; this page uses none, so each is closed
    // unopened (the handshake has had its answer, 400 or 403).
    connect(this, &QAbstractHttpServer::newWebSocketConnection, this, [this] {
        while (hasPendingWebSocketConnections()) {
            std::unique_ptr<QWebSocket> ws = nextPendingWebSocketConnection();
            ws->abort();
            ws.release()->deleteLater();
        }
    });
    m_beat->shot = timeBase().createOneShot([this] { heartbeat(); });
}

NightServer::~NightServer() = default;

bool NightServer::start(const QHostAddress &address, quint16 port, QString *error)
{
    m_listener = new Listener(this);
    if (!m_listener->listen(address, port)) {
        *error = m_listener->errorString();
        delete m_listener;
        m_listener = nullptr;
        return false;
    }
    bind(m_listener);
    return true;
}

quint16 NightServer::port() const { return m_listener ? m_listener->serverPort() : 0; }

QString NightServer::cookieName() const { return QStringLiteral("tavrel-cle-%1").arg(port()); }

bool NightServer::hasKey(const QHttpServerRequest &request, bool *fromQuery) const
{
    const QByteArray inQuery = request.query().queryItemValue(QLatin1String(kKeyParameter)).toLatin1();
    *fromQuery = !inQuery.isEmpty() && sameKey(inQuery, m_key);
    return *fromQuery || sameKey(cookieValue(request, cookieName().toLatin1()), m_key);
}

bool NightServer::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    Guard *guard = Guard::of(socket);
    if (guard)
        guard->requestHandled();
    QHttpServerResponder responder = makeResponder(request, socket);
    const auto answer = [&](Status status, const QByteArray &type, const QByteArray &body,
                            const QList<QPair<QByteArray, QByteArray>> &extra = {}) {
        responder.writeStatusLine(status);
        responder.writeHeader("Content-Type", type);
        responder.writeHeader("Content-Length", QByteArray::number(body.size()));
        responder.writeHeader("Cache-Control", "no-store");
        responder.writeHeader("X-Content-Type-Options", "nosniff");
        responder.writeHeader("Referrer-Policy", "no-referrer");
        for (const auto &h : extra)
            responder.writeHeader(h.first, h.second);
        responder.writeBody(body);
    };
    const auto text = [&](Status status, const char *message) {
        answer(status, "text/plain; charset=utf-8", QByteArray(message) + '\n');
    };

    bool fromQuery = false;
    const bool keyed = hasKey(request, &fromQuery);
    const bool upgrade = !headerValue(request, "upgrade").isEmpty();
    if (!keyed || upgrade) {
        if (keyed)
            text(Status::BadRequest, "Requête refusée.");
        else
            text(Status::Forbidden, "Accès refusé : ouvrez l'adresse complète, avec sa clé, affichée par tavrel-run.");
        if (upgrade)
            socket->flush(); // out before Qt's server hands the socket on, to be closed unopened
        else if (guard)
            guard->closeAfterWrites();
        return true;
    }

    const QString path = request.url().path();
    const auto method = request.method();
    const bool get = method == QHttpServerRequest::Method::Get;
    const bool post = method == QHttpServerRequest::Method::Post;
    if (path == QLatin1String("/")) {
        if (!get)
            return text(Status::MethodNotAllowed, "Méthode non permise."), true;
        QList<QPair<QByteArray, QByteArray>> extra{
            {"Content-Security-Policy",
             "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; connect-src 'self'; "
             "img-src data:; form-action 'none'; frame-ancestors 'none'"}};
        // The key, seen once in the address, stays in a cookie that no
        // script can read and no other site can send.
        if (fromQuery)
            extra.append({"Set-Cookie", cookieName().toLatin1() + '=' + m_key
                                            + "; Path=/; HttpOnly; SameSite=Strict; Max-Age=172800"});
        answer(Status::Ok, "text/html; charset=utf-8", pageBytes(), extra);
    } else if (path == QLatin1String("/etat.json")) {
        if (!get)
            return text(Status::MethodNotAllowed, "Méthode non permise."), true;
        answer(Status::Ok, "application/json", m_state->json());
    } else if (path == QLatin1String("/flux")) {
        if (!get)
            return text(Status::MethodNotAllowed, "Méthode non permise."), true;
        openStream(request, socket);
    } else if (path == QLatin1String("/finir") || path == QLatin1String("/arreter")) {
        if (!post)
            return text(Status::MethodNotAllowed, "Méthode non permise."), true;
        answer(Status::Accepted, "application/json", m_state->json());
        // After the answer is on its way: stopping may end the event loop.
        if (path == QLatin1String("/finir"))
            emit finishAsked();
        else
            emit stopAsked();
    } else {
        text(Status::NotFound, "Rien ici.");
    }
    return true;
}

void NightServer::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket)
{
    makeResponder(request, socket).write(Status::NotFound);
}

void NightServer::openStream(const QHttpServerRequest &request, QTcpSocket *socket)
{
    QHttpServerResponder responder = makeResponder(request, socket);
    responder.writeStatusLine(Status::Ok);
    responder.writeHeader("Content-Type", "text/event-stream; charset=utf-8");
    responder.writeHeader("Cache-Control", "no-store");
    responder.writeHeader("X-Content-Type-Options", "nosniff");
    responder.writeHeader("Connection", "keep-alive");
    if (Guard *guard = Guard::of(socket))
        guard->becameStream();
    m_streams.append(socket);
    connect(socket, &QAbstractSocket::disconnected, this, [this, socket] { m_streams.removeAll(socket); });
    // The browser comes back 3 s after a drop; the state at once, whole.
    responder.writeBody("retry: 3000\ndata: " + m_state->json() + "\n\n");
    if (!m_beat->shot->isActive())
        m_beat->shot->start(m_limits.heartbeatMs);
}

void NightServer::schedulePush()
{
    // Changes that come together (a release, its line, the next state) go
    // out as one update, once the handler that made them is done.
    if (m_pushPending || m_streams.isEmpty())
        return;
    m_pushPending = true;
    QMetaObject::invokeMethod(this, &NightServer::push, Qt::QueuedConnection);
}

void NightServer::push()
{
    m_pushPending = false;
    const QByteArray event = "data: " + m_state->json() + "\n\n";
    for (const QPointer<QTcpSocket> &socket : QList(m_streams))
        if (socket)
            send(socket, event);
}

void NightServer::send(QTcpSocket *socket, const QByteArray &bytes)
{
    // Never waits: the bytes join the socket's buffer. A client that lets
    // its buffer grow (a phone asleep with the connection open, a peer gone
    // without a word) is dropped; its browser comes back by itself.
    if (socket->bytesToWrite() + bytes.size() > m_limits.maxUnsent) {
        m_streams.removeAll(socket);
        socket->abort();
        return;
    }
    socket->write(bytes);
}

void NightServer::heartbeat()
{
    if (m_streams.isEmpty())
        return;
    for (const QPointer<QTcpSocket> &socket : QList(m_streams))
        if (socket)
            send(socket, ":\n\n");
    m_beat->shot->start(m_limits.heartbeatMs);
}

void NightServer::shutDown(int graceMs)
{
    if (m_shutDown)
        return;
    m_shutDown = true;
    if (m_pushPending)
        push();
    m_beat->shot->stop();
    if (m_listener)
        m_listener->close();
    const QList<QTcpSocket *> sockets =
        m_listener ? m_listener->findChildren<QTcpSocket *>(QString(), Qt::FindDirectChildrenOnly) : QList<QTcpSocket *>();
    for (QTcpSocket *socket : sockets) {
        socket->flush();
        socket->disconnectFromHost();
    }
    // What is left in the buffers leaves within the grace, or is dropped:
    // the release was let go before this, so the wait costs nothing.
    QDeadlineTimer deadline(graceMs);
    for (QTcpSocket *socket : sockets) {
        QPointer<QTcpSocket> alive(socket);
        while (alive && alive->state() != QAbstractSocket::UnconnectedState && alive->bytesToWrite() > 0
               && !deadline.hasExpired())
            alive->waitForBytesWritten(int(qMax<qint64>(1, deadline.remainingTime())));
        if (alive)
            alive->abort();
    }
}

} // namespace tavrel::web
