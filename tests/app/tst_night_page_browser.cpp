// The night page in a real browser: headless Chromium, driven through its
// DevTools protocol, follows a simulated run of tavrel-run --web and ends
// it with "Finir après la pose". Skipped, saying so, where no Chromium is
// installed. With TAVREL_PAGE_SHOT=FILE.png it also photographs the page at
// a phone's size (the README's picture).

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QWebSocket>
#include <QtTest>
#include <functional>

namespace {

// Waits, running events, until `done` or `ms` have passed.
bool waitFor(const std::function<bool()> &done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    return done();
}

// Reads a process's output until `pattern` matches; its first group.
QString readUntil(QProcess &process, bool standardError, QByteArray &seen, const QRegularExpression &pattern)
{
    QRegularExpressionMatch m;
    waitFor([&] {
        seen += standardError ? process.readAllStandardError() : process.readAllStandardOutput();
        m = pattern.match(QString::fromUtf8(seen));
        return m.hasMatch() || process.state() != QProcess::Running;
    }, 15000);
    return m.hasMatch() ? m.captured(1) : QString();
}

// One page of the browser, over the DevTools protocol's flat sessions.
class DevTools {
public:
    bool open(const QString &browserSocket)
    {
        m_socket.open(QUrl(browserSocket));
        QObject::connect(&m_socket, &QWebSocket::textMessageReceived, [this](const QString &text) {
            const QJsonObject o = QJsonDocument::fromJson(text.toUtf8()).object();
            if (o.contains(QLatin1String("id")))
                m_replies.insert(o.value(QLatin1String("id")).toInt(), o);
        });
        return waitFor([this] { return m_socket.state() == QAbstractSocket::ConnectedState; }, 10000);
    }
    QJsonObject call(const QString &method, const QJsonObject &params = {})
    {
        const int id = m_next++;
        QJsonObject message{{QStringLiteral("id"), id}, {QStringLiteral("method"), method},
                            {QStringLiteral("params"), params}};
        if (!m_session.isEmpty())
            message.insert(QStringLiteral("sessionId"), m_session);
        m_socket.sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
        waitFor([&] { return m_replies.contains(id); }, 10000);
        return m_replies.take(id).value(QLatin1String("result")).toObject();
    }
    bool openPage(const QString &url)
    {
        const QString target = call(QStringLiteral("Target.createTarget"), {{QStringLiteral("url"), url}})
                                   .value(QLatin1String("targetId")).toString();
        m_session = call(QStringLiteral("Target.attachToTarget"),
                         {{QStringLiteral("targetId"), target}, {QStringLiteral("flatten"), true}})
                        .value(QLatin1String("sessionId")).toString();
        return !m_session.isEmpty();
    }
    QString eval(const QString &expression)
    {
        return call(QStringLiteral("Runtime.evaluate"),
                    {{QStringLiteral("expression"), expression}, {QStringLiteral("returnByValue"), true}})
            .value(QLatin1String("result")).toObject().value(QLatin1String("value")).toVariant().toString();
    }
    // Until the expression gives a value `accept` takes; that value.
    QString evalUntil(const QString &expression, const std::function<bool(const QString &)> &accept, int ms = 15000)
    {
        QString value;
        waitFor([&] { return accept(value = eval(expression)); }, ms);
        return value;
    }

private:
    QWebSocket m_socket;
    QString m_session;
    int m_next = 1;
    QHash<int, QJsonObject> m_replies;
};

} // namespace

class TstNightPageBrowser : public QObject {
    Q_OBJECT

private slots:
    void followAndFinishARun()
    {
        const QString chromium = QStandardPaths::findExecutable(QStringLiteral("chromium"));
        if (chromium.isEmpty())
            QSKIP("Chromium is not installed (scripts/deps.sh installs it): the page is not tried in a browser.");
        QTemporaryDir dir;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
        env.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath(QStringLiteral("data")));

        QProcess run;
        run.setProcessEnvironment(env);
        run.setWorkingDirectory(dir.path());
        run.start(qEnvironmentVariable("TAVREL_RUN"),
                  {"--simulate", "--web", "127.0.0.1:0", "--count", "3", "--exposure", "3", "--delay", "1"});
        QVERIFY(run.waitForStarted());
        QByteArray out;
        const QString url = readUntil(run, false, out, QRegularExpression(QStringLiteral("Page de la nuit : (\\S+)")));
        QVERIFY2(!url.isEmpty(), out.constData());

        QProcess browser;
        browser.setProcessEnvironment(env);
        browser.start(chromium, {"--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                                 "--no-default-browser-check", "--remote-debugging-port=0",
                                 "--user-data-dir=" + dir.filePath(QStringLiteral("browser")), "about:blank"});
        QVERIFY(browser.waitForStarted());
        QByteArray err;
        const QString devtools =
            readUntil(browser, true, err, QRegularExpression(QStringLiteral("DevTools listening on (ws://\\S+)")));
        QVERIFY2(!devtools.isEmpty(), err.constData());
        DevTools page;
        QVERIFY(page.open(devtools));
        QVERIFY(page.openPage(url));

        // The count and the bar move with the run, live.
        const QString count = QStringLiteral("document.getElementById('compte').textContent");
        const QString bar = QStringLiteral("document.getElementById('progression').style.width");
        QCOMPARE(page.evalUntil(count, [](const QString &v) { return v == QLatin1String("Pose 1 / 3"); }),
                 QStringLiteral("Pose 1 / 3"));
        // "42.5%"
        const auto share = [](const QString &width) { return width.left(width.indexOf('%')).toDouble(); };
        const double first = share(page.evalUntil(bar, [&](const QString &v) { return share(v) > 0; }));
        const double later = share(page.evalUntil(bar, [&](const QString &v) { return share(v) > first; }));
        QVERIFY2(later > first, qPrintable(QStringLiteral("%1 then %2").arg(first).arg(later)));
        QCOMPARE(page.evalUntil(count, [](const QString &v) { return v == QLatin1String("Pose 2 / 3"); }),
                 QStringLiteral("Pose 2 / 3"));
        QCOMPARE(page.eval(QStringLiteral("document.getElementById('adaptateur').textContent")), QStringLiteral("prêt"));

        const QString shot = qEnvironmentVariable("TAVREL_PAGE_SHOT");
        if (!shot.isEmpty()) {
            page.evalUntil(bar, [&](const QString &v) { return share(v) > 50; });
            page.call(QStringLiteral("Emulation.setDeviceMetricsOverride"),
                      {{QStringLiteral("width"), 390}, {QStringLiteral("height"), 844},
                       {QStringLiteral("deviceScaleFactor"), 2}, {QStringLiteral("mobile"), true}});
            const QByteArray png = QByteArray::fromBase64(
                page.call(QStringLiteral("Page.captureScreenshot")).value(QLatin1String("data")).toString().toLatin1());
            QFile f(shot);
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(png) == png.size());
        }

        // "Finir après la pose", confirmed: this exposure ends, the run with it.
        page.eval(QStringLiteral("document.getElementById('finir').click(); document.getElementById('oui').click();"));
        QCOMPARE(page.evalUntil(QStringLiteral("document.getElementById('etat').textContent"),
                                [](const QString &v) { return v == QLatin1String("Terminé"); }),
                 QStringLiteral("Terminé"));
        QVERIFY(run.state() == QProcess::NotRunning || run.waitForFinished(10000));
        out += run.readAllStandardOutput();
        QCOMPARE(run.exitCode(), 0);
        QVERIFY2(out.contains("Page de la nuit : fin après la pose en cours.") && out.contains("arrêtée à la demande"),
                 out.constData());
        browser.kill();
        browser.waitForFinished();
    }
};

QTEST_GUILESS_MAIN(TstNightPageBrowser)
#include "tst_night_page_browser.moc"
