#include "app/web/night_state.h"

#include "link/shared_values.h"
#include "link/timebase.h"
#include "modes/scenario_runner.h"
#include "modes/sequence_job.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace tavrel::web {

namespace {

struct PhaseName {
    const char *code;
    const char *caption;
};

PhaseName nameOf(NightState::Phase phase)
{
    switch (phase) {
    case NightState::Phase::Starting: return {"depart", "Démarrage"};
    case NightState::Phase::Waiting: return {"attente", "En attente de l'heure"};
    case NightState::Phase::Mirror: return {"miroir", "Miroir relevé"};
    case NightState::Phase::Exposing: return {"pose", "Pose en cours"};
    case NightState::Phase::Settling: return {"pause", "Pause entre les poses"};
    case NightState::Phase::Finished: return {"fin", "Terminé"};
    }
    return {"", ""};
}

} // namespace

NightState::NightState(QObject *parent) : QObject(parent) {}

qint64 NightState::nowMs() { return timeBase().nowPrecise().toMSecsSinceEpoch(); }

void NightState::watch(SequenceJob *job)
{
    m_unit = QStringLiteral("Pose");
    connect(job, &SequenceJob::mirrorRaised, this, [this, job](int number) {
        m_number = number;
        m_total = job->exposureTotal();
        enterFor(Phase::Mirror, shared().MirrorDelaySeconds);
    });
    connect(job, &SequenceJob::exposureStarted, this, &NightState::exposing);
    connect(job, &SequenceJob::exposureEnded, this, [this] { enterFor(Phase::Settling, -1); });
    connect(job, &SequenceJob::delayStarted, this, [this](int seconds) { enterFor(Phase::Settling, seconds); });
    connect(job, &SequenceJob::jobEnded, this, &NightState::setFinished);
}

void NightState::watch(ScenarioRunner *runner, std::function<int()> stepTotal)
{
    // A scenario counts its steps: each takes one exposure at most; the end
    // step is never carried out.
    m_unit = QStringLiteral("Étape");
    connect(runner, &ScenarioRunner::stepTaken, this, [this, stepTotal](int number, int count) {
        m_number = number;
        m_total = stepTotal ? stepTotal() : count - 1;
        emit changed();
    });
    connect(runner, &ScenarioRunner::waitingUntil, this, [this](const QDateTime &instant) {
        m_nextPressMs = instant.toMSecsSinceEpoch();
        enter(Phase::Waiting);
    });
    connect(runner, &ScenarioRunner::mirrorRaised, this,
            [this] { enterFor(Phase::Mirror, shared().MirrorDelaySeconds); });
    connect(runner, &ScenarioRunner::exposureStarted, this,
            [this](int seconds) { exposing(m_number, m_total, seconds); });
    connect(runner, &ScenarioRunner::exposureEnded, this, [this] { enterFor(Phase::Settling, -1); });
    // The next step may wait for its time on top: its wait says so then.
    connect(runner, &ScenarioRunner::pauseStarted, this, [this](int seconds) { enterFor(Phase::Settling, seconds); });
    connect(runner, &ScenarioRunner::runEnded, this, &NightState::setFinished);
}

void NightState::enterFor(Phase phase, int seconds)
{
    m_nextPressMs = seconds < 0 ? 0 : nowMs() + qint64(seconds) * 1000;
    enter(phase);
}

void NightState::exposing(int number, int total, int seconds)
{
    m_number = number;
    m_total = total;
    m_exposureStartMs = nowMs();
    m_exposureSeconds = seconds;
    m_nextPressMs = 0;
    enter(Phase::Exposing);
}

void NightState::enter(Phase phase)
{
    if (m_phase == Phase::Finished)
        return;
    m_phase = phase;
    emit changed();
}

void NightState::setAdapterState(const QString &text, bool ready)
{
    if (text == m_adapter && ready == m_adapterReady)
        return;
    m_adapter = text;
    m_adapterReady = ready;
    emit changed();
}

void NightState::setGuiderState(const QString &text)
{
    if (text == m_guider)
        return;
    m_guider = text;
    emit changed();
}

void NightState::addLine(const QString &line)
{
    m_lines.append(line);
    while (m_lines.size() > kKeptLines)
        m_lines.removeFirst();
    emit changed();
}

void NightState::setStopAsked(const QString &what)
{
    m_stopAsked = what;
    emit changed();
}

void NightState::setFinished()
{
    if (m_phase == Phase::Finished)
        return;
    m_phase = Phase::Finished;
    m_nextPressMs = 0;
    emit changed();
}

QJsonObject NightState::toJson() const
{
    const PhaseName name = nameOf(m_phase);
    QJsonObject o{{QStringLiteral("etat"), QLatin1String(name.code)},
                  {QStringLiteral("etat_texte"), QString::fromUtf8(name.caption)},
                  {QStringLiteral("maintenant"), nowMs()},
                  {QStringLiteral("unite"), m_unit},
                  {QStringLiteral("numero"), m_number},
                  {QStringLiteral("total"), m_total},
                  {QStringLiteral("adaptateur"), m_adapter},
                  {QStringLiteral("adaptateur_pret"), m_adapterReady},
                  {QStringLiteral("guidage"), m_guider.isEmpty() ? QJsonValue() : QJsonValue(m_guider)},
                  {QStringLiteral("arret_demande"), m_stopAsked.isEmpty() ? QJsonValue() : QJsonValue(m_stopAsked)},
                  {QStringLiteral("journal"), QJsonArray::fromStringList(m_lines)}};
    // Instants as milliseconds since 1970 on the runner's clock: the page
    // counts down between two updates, corrected by "maintenant".
    if (m_phase == Phase::Exposing) {
        o.insert(QStringLiteral("debut_pose"), m_exposureStartMs);
        o.insert(QStringLiteral("fin_pose"), m_exposureStartMs + qint64(m_exposureSeconds) * 1000);
    }
    o.insert(QStringLiteral("prochaine_pression"), m_nextPressMs > 0 ? QJsonValue(m_nextPressMs) : QJsonValue());
    return o;
}

QByteArray NightState::json() const { return QJsonDocument(toJson()).toJson(QJsonDocument::Compact); }

} // namespace tavrel::web
