#pragma once
// The autoguider's event server, as its public protocol describes it: a TCP
// connection (port 4400 for the guider's first instance, 4401 for the
// second...), one JSON object per line ending CR LF, events pushed by the
// guider and JSON-RPC 2.0 requests from us. We ask for dithers and follow
// the guiding state; everything else the guider says is read and dropped.
//
// All of it runs on the main thread's event loop and never waits: a
// connection, a name lookup or a reply comes when it comes, and whatever
// the guider sends (a flood, garbage, half a line, a line of a megabyte) is
// read in bounded chunks into a bounded buffer. Nothing here touches the
// release line, so nothing here can delay a line write. Timeouts and the
// reconnection wait run on the time base, so tests drive them in virtual
// time.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <memory>

class QTcpSocket;

namespace tavrel {

class OneShot;

// [Guidage] of the settings file.
struct GuiderSettings {
    QString host = QStringLiteral("localhost");
    int port = 4400;
    int every = 0;           // Decalage: a dither after every N exposures, 0 = none
    double pixels = 3.0;     // the dither's amount
    bool raOnly = false;     // RASeul
    double tolerance = 1.5;  // settled within this many pixels...
    int settleSeconds = 10;  // ...for this long (Stabilite)
    int timeoutSeconds = 60; // the settle is given up after this (DelaiMax)
    // Guiding watched (for the journal and the status) without dithers:
    // asked for by naming the guider on tavrel-run's command line.
    bool watch = false;
    bool dithers() const { return every > 0; }
    bool used() const { return every > 0 || watch; }
};

// Reads [Guidage]. The section is the user's to write: the program never adds
// it, so a settings file created from nothing stays as short as before. A bad
// value is reported once (in French) and its default used.
GuiderSettings readGuiderSettings();

enum class GuiderState {
    Absent,     // not connected (yet, or any more)
    NotGuiding, // connected, guiding stopped, looping, paused or calibrating
    Guiding,
    Settling,   // after a dither, until the guider says it has settled
    Lost,       // star lost or lock position lost
};

class GuiderClient final : public QObject {
    Q_OBJECT
public:
    // Longest line kept; a longer one is skipped up to its end.
    static constexpr qsizetype kMaxLine = 64 * 1024;
    // A connection attempt or a reply not there by then is given up.
    static constexpr int kAnswerTimeoutMs = 10000;
    // After a refused or lost connection, the next attempt.
    static constexpr int kReconnectMs = 5000;

    explicit GuiderClient(QObject *parent = nullptr);
    ~GuiderClient() override;

    // Connects, and keeps connecting again after a refusal or a loss until
    // close().
    void open(const QString &host, int port);
    void close();
    bool isConnected() const { return m_connected; }

    GuiderState state() const { return m_state; }
    // "guidage en cours", "stabilisation (0,84 px)"...: for status areas and
    // progress lines.
    QString stateText() const;

    // Asks for a dither and its settle; false when not connected. The answer
    // comes as ditherRefused() or, later, settleDone().
    bool dither(const GuiderSettings &s);

    // Bytes that crossed the connections so far, either way.
    qint64 bytesIn() const { return m_bytesIn; }
    qint64 bytesOut() const { return m_bytesOut; }

signals:
    void stateChanged();
    void connected();
    // The connection failed or went; `why` in French.
    void connectionLost(const QString &why);
    // The guider refused the dither, or did not answer it.
    void ditherRefused(const QString &why);
    void settleDone(bool settled, const QString &error);
    // Guiding went wrong: "perdu" (star or lock position lost) or "arrêté".
    void guidingTrouble(const QString &mark);

private:
    void connectNow();
    void dropSocket();
    void onConnected();
    void onGone(const QString &why);
    void send(const QByteArray &line);
    void readSome();
    void handleLine(const QByteArray &line);
    void handleEvent(const QString &event, const class QJsonObject &o);
    void setState(GuiderState s, double distance = 0.0);

    std::unique_ptr<QTcpSocket> m_socket;
    std::unique_ptr<OneShot> m_retry;    // reconnection, or a connect that takes too long
    std::unique_ptr<OneShot> m_answer;   // the dither's reply
    QString m_host;
    int m_port = 0;
    bool m_open = false;
    bool m_connected = false;
    QByteArray m_buffer;
    bool m_skipping = false; // inside a line too long to keep
    bool m_readQueued = false;
    int m_nextId = 1;
    int m_ditherId = 0; // the request whose reply is awaited, 0 when none
    GuiderState m_state = GuiderState::Absent;
    double m_distance = 0.0;
    qint64 m_bytesIn = 0;
    qint64 m_bytesOut = 0;
};

} // namespace tavrel
