// The night page's server at the HTTP level: the key guards everything, the
// buttons do what they say once, and no client (keyless, malformed, huge,
// slow, or reading nothing) gets more than a refusal or a closed connection.

#include "app/web/night_server.h"
#include "app/web/night_state.h"
#include "link/timebase.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QtTest>
#include <memory>

using namespace tavrel;
using namespace tavrel::web;

namespace {

struct Reply {
    int status = 0;
    QByteArray head;
    QByteArray body;
};

int statusOf(const QByteArray &bytes)
{
    // "HTTP/1.1 403 Forbidden"
    return bytes.startsWith("HTTP/1.1 ") ? bytes.mid(9, 3).toInt() : 0;
}

} // namespace

class TstNightServer : public QObject {
    Q_OBJECT

    VirtualTimeBase m_time;
    std::unique_ptr<NightState> m_state;
    std::unique_ptr<NightServer> m_server;

    void serve(ServerLimits limits = {})
    {
        m_server = std::make_unique<NightServer>(m_state.get(), newAccessKey(), limits);
        QString error;
        QVERIFY2(m_server->start(QHostAddress::LocalHost, 0, &error), qPrintable(error));
    }
    QByteArray cookie() const { return m_server->cookieName().toLatin1() + '=' + m_server->key(); }

    std::unique_ptr<QTcpSocket> connectTo()
    {
        auto socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(QHostAddress::LocalHost, m_server->port());
        if (!socket->waitForConnected(3000))
            qFatal("no connection");
        return socket;
    }
    // Runs the event loop until `done` or 5 s.
    static bool until(const std::function<bool()> &done)
    {
        QElapsedTimer clock;
        clock.start();
        while (!done() && clock.elapsed() < 5000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
        return done();
    }
    // Sends `request` and reads one whole answer (or what came before the close).
    Reply exchange(const QByteArray &request)
    {
        auto socket = connectTo();
        socket->write(request);
        QByteArray in;
        const auto whole = [&] {
            in += socket->readAll();
            const qsizetype end = in.indexOf("\r\n\r\n");
            if (end < 0)
                return socket->state() == QAbstractSocket::UnconnectedState;
            const qsizetype at = in.toLower().indexOf("content-length: ");
            return at < 0 || in.size() >= end + 4 + in.mid(at + 16, 12).split('\r').first().toInt();
        };
        until([&] { return whole() || socket->state() == QAbstractSocket::UnconnectedState; });
        in += socket->readAll();
        const qsizetype end = in.indexOf("\r\n\r\n");
        return {statusOf(in), in.left(end), end < 0 ? QByteArray() : in.mid(end + 4)};
    }
    static QByteArray get(const QByteArray &target, const QByteArray &cookie = {}, const QByteArray &method = "GET")
    {
        QByteArray r = method + ' ' + target + " HTTP/1.1\r\nHost: localhost\r\n";
        if (!cookie.isEmpty())
            r += "Cookie: " + cookie + "\r\n";
        return r + "Content-Length: 0\r\n\r\n";
    }

private slots:
    void init()
    {
        setTimeBase(&m_time);
        m_state = std::make_unique<NightState>();
        serve();
    }
    void cleanup()
    {
        m_server.reset();
        m_state.reset();
        setTimeBase(nullptr);
    }

    // Without the key, whatever the path or method, 403 and nothing else;
    // with it, only the page, the state and the stream exist.
    void keyGuardsEverything_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<QString>("credential"); // none, key, cookie, wrong, short
        QTest::addColumn<int>("status");
        QTest::newRow("page, no key") << QByteArray("GET") << QByteArray("/") << "none" << 403;
        QTest::newRow("state, no key") << QByteArray("GET") << QByteArray("/etat.json") << "none" << 403;
        QTest::newRow("stream, no key") << QByteArray("GET") << QByteArray("/flux") << "none" << 403;
        QTest::newRow("finish, no key") << QByteArray("POST") << QByteArray("/finir") << "none" << 403;
        QTest::newRow("nowhere, no key") << QByteArray("GET") << QByteArray("/x") << "none" << 403;
        QTest::newRow("wrong key") << QByteArray("GET") << QByteArray("/etat.json") << "wrong" << 403;
        QTest::newRow("key cut short") << QByteArray("GET") << QByteArray("/etat.json") << "short" << 403;
        QTest::newRow("page, key") << QByteArray("GET") << QByteArray("/") << "key" << 200;
        QTest::newRow("state, cookie") << QByteArray("GET") << QByteArray("/etat.json") << "cookie" << 200;
        QTest::newRow("a file") << QByteArray("GET") << QByteArray("/../../etc/passwd") << "cookie" << 404;
        QTest::newRow("the page's own name") << QByteArray("GET") << QByteArray("/nuit.html") << "cookie" << 404;
        QTest::newRow("finish by GET") << QByteArray("GET") << QByteArray("/finir") << "cookie" << 405;
    }
    void keyGuardsEverything()
    {
        QFETCH(QByteArray, method);
        QFETCH(QByteArray, target);
        QFETCH(QString, credential);
        QFETCH(int, status);
        QSignalSpy finish(m_server.get(), &NightServer::finishAsked);
        QByteArray wrong = m_server->key();
        wrong[0] = wrong[0] == 'a' ? 'b' : 'a';
        QByteArray c;
        if (credential == QLatin1String("key"))
            target += "?cle=" + m_server->key();
        else if (credential == QLatin1String("cookie"))
            c = cookie();
        else if (credential == QLatin1String("wrong"))
            c = m_server->cookieName().toLatin1() + '=' + wrong;
        else if (credential == QLatin1String("short"))
            target += "?cle=" + m_server->key().left(16);
        const Reply r = exchange(get(target, c, method));
        QCOMPARE(r.status, status);
        QCOMPARE(finish.count(), 0);
        if (status == 403)
            QVERIFY(r.body.contains("Accès refusé"));
        if (credential == QLatin1String("key")) {
            // The key goes into a cookie no script reads and no other site sends.
            QVERIFY(r.head.contains("Set-Cookie: " + cookie()));
            QVERIFY(r.head.contains("HttpOnly") && r.head.contains("SameSite=Strict"));
            QVERIFY(r.body.contains("Finir après la pose") && r.body.contains("Arrêter maintenant"));
        }
    }

    void buttons_data()
    {
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<int>("finishes");
        QTest::addColumn<int>("stops");
        QTest::newRow("finish after the exposure") << QByteArray("/finir") << 1 << 0;
        QTest::newRow("stop now") << QByteArray("/arreter") << 0 << 1;
    }
    void buttons()
    {
        QFETCH(QByteArray, target);
        QFETCH(int, finishes);
        QFETCH(int, stops);
        QSignalSpy finish(m_server.get(), &NightServer::finishAsked);
        QSignalSpy stop(m_server.get(), &NightServer::stopAsked);
        const Reply r = exchange(get(target, cookie(), "POST"));
        QCOMPARE(r.status, 202);
        QVERIFY(r.body.contains("\"etat\""));
        QCOMPARE(finish.count(), finishes);
        QCOMPARE(stops, stop.count());
    }

    // Refused with a status, never served, never kept in memory whole.
    void refusedRequests_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        QTest::newRow("not HTTP") << QByteArray("GARBAGE\r\n\r\n") << 400;
        QTest::newRow("huge header") << QByteArray("GET / HTTP/1.1\r\nX: " + QByteArray(100000, 'a') + "\r\n\r\n") << 413;
        QTest::newRow("huge body") << QByteArray("POST /finir HTTP/1.1\r\nContent-Length: 100000000\r\n\r\n"
                                                 + QByteArray(40000, 'a'))
                                   << 413;
        QTest::newRow("WebSocket, no key")
            << QByteArray("GET /flux HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")
            << 403;
        // The page uses none: refused even with the key.
        QTest::newRow("WebSocket, key")
            << QByteArray("GET /flux?cle=KEY HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")
            << 400;
    }
    void refusedRequests()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        QSignalSpy finish(m_server.get(), &NightServer::finishAsked);
        auto socket = connectTo();
        socket->write(QByteArray(request).replace("KEY", m_server->key()));
        QByteArray in;
        QVERIFY(until([&] {
            in += socket->readAll();
            return socket->state() == QAbstractSocket::UnconnectedState;
        }));
        QCOMPARE(statusOf(in), status);
        QVERIFY2(!in.contains("101 Switching"), in.constData());
        QCOMPARE(finish.count(), 0);
    }

    // A request dribbled in is cut off after its time, an idle connection
    // closed, and no more than the allowed connections are kept.
    void slowAndSurplusClients()
    {
        cleanup();
        init();
        serve({.maxConnections = 3});
        auto slow = connectTo();
        slow->write("GET /etat.json HTTP/1.1\r\nHost: x\r\n");
        QVERIFY(until([&] { return m_server->connectionCount() == 1; }));
        auto idle = connectTo();
        auto third = connectTo();
        QVERIFY(until([&] { return m_server->connectionCount() == 3; }));
        const Reply surplus = exchange(get("/etat.json", cookie()));
        QCOMPARE(surplus.status, 503);

        QCoreApplication::processEvents();
        m_time.advance(ServerLimits{}.requestTimeoutMs);
        QByteArray in;
        QVERIFY(until([&] {
            in += slow->readAll();
            return slow->state() == QAbstractSocket::UnconnectedState
                   && idle->state() == QAbstractSocket::UnconnectedState;
        }));
        QCOMPARE(statusOf(in), 408);
        QVERIFY(until([&] { return m_server->connectionCount() == 0; }));
    }

    // Every change reaches the stream; a client that reads nothing is dropped
    // once its unread updates pass the bound, instead of piling up.
    void streams()
    {
        auto reader = connectTo();
        auto sleeper = connectTo();
        sleeper->setReadBufferSize(1);
        reader->write(get("/flux", cookie()));
        sleeper->write(get("/flux", cookie()));
        QVERIFY(until([&] { return m_server->streamCount() == 2; }));
        m_state->addLine(QStringLiteral("22:00:00 Pose 1/3 : déclenchement"));
        QByteArray in;
        QVERIFY(until([&] {
            in += reader->readAll();
            return in.contains("Pose 1/3");
        }));
        QVERIFY(in.contains("text/event-stream"));

        const QString padding(2000, QLatin1Char('x'));
        for (int i = 0; i < 20000 && m_server->streamCount() == 2; ++i) {
            m_state->addLine(padding);
            QCoreApplication::processEvents();
            reader->readAll();
        }
        QCOMPARE(m_server->streamCount(), 1);
        QVERIFY(until([&] { return m_server->connectionCount() == 1; }));
    }
};

QTEST_GUILESS_MAIN(TstNightServer)
#include "tst_night_server.moc"
