#pragma once
// What the page and /etat.json show of a night: the run's phase, the
// exposure under way, the next press, the adapter, the guider when one is
// used, and the last progress lines. Fed by the very signals the progress
// lines come from, on the main thread; it only keeps figures and says when
// they change, so that nobody watching can hold up the run.

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>

namespace tavrel {
class ScenarioRunner;
class SequenceJob;
} // namespace tavrel

namespace tavrel::web {

class NightState final : public QObject {
    Q_OBJECT
public:
    enum class Phase { Starting, Waiting, Mirror, Exposing, Settling, Finished };

    explicit NightState(QObject *parent = nullptr);

    void watch(SequenceJob *job);
    // `stepTotal`: the steps to carry out as far as the files read so far
    // go (a chain adds the next file's); by default the first file's.
    void watch(ScenarioRunner *runner, std::function<int()> stepTotal = {});

    void setAdapterState(const QString &text, bool ready);
    // The guider's state in a word or two; empty when no guider is used.
    void setGuiderState(const QString &text);
    // One progress line, stamp included; only the last few are kept.
    void addLine(const QString &line);
    // A stop asked, from the page or a signal: said until the run ends.
    void setStopAsked(const QString &what);
    // The run is over (whatever ended it): nothing more will be pressed.
    void setFinished();

    Phase phase() const { return m_phase; }
    QJsonObject toJson() const;
    QByteArray json() const;

    static constexpr int kKeptLines = 12;

signals:
    void changed();

private:
    void enter(Phase phase);
    // Enters `phase` with the next press `seconds` from now (none when negative).
    void enterFor(Phase phase, int seconds);
    void exposing(int number, int total, int seconds);
    static qint64 nowMs();

    Phase m_phase = Phase::Starting;
    QString m_unit = QStringLiteral("Pose");
    int m_number = 0;
    int m_total = 0;
    qint64 m_exposureStartMs = 0;
    int m_exposureSeconds = 0;
    qint64 m_nextPressMs = 0; // 0: none known
    QString m_adapter = QStringLiteral("inconnu");
    bool m_adapterReady = false;
    QString m_guider;
    QString m_stopAsked;
    QStringList m_lines;
};

} // namespace tavrel::web
