#pragma once
// Dithers between exposures through the guider, and the guiding state of
// each exposure for the journal. A run that uses a guider keeps its
// connection open from begin() to end() (opened again when the guider comes
// back). After every N-th release that is not the run's last, a dither is
// asked for; the next press waits until the guider says it has settled, or
// DelaiMax has gone by. Whatever goes wrong with the guider is said (once per
// trouble, never in a box that waits) and the night goes on: the guider never
// stops a run, and never holds a press longer than DelaiMax.
//
// The state is shown by whoever looks at stateChanged(): the mode windows'
// status area, tavrel-run's progress lines, a web page.

#include "link/guider_client.h"
#include "modes/between_exposures.h"

#include <QObject>
#include <memory>

namespace tavrel {

class OneShot;

class DitherGate final : public QObject, public BetweenExposures {
    Q_OBJECT
public:
    explicit DitherGate(QObject *parent = nullptr);
    ~DitherGate() override;

    // A run starts. Nothing is opened when the settings use no guider. A
    // rehearsal talks to no guider: each dither holds the next press for
    // Stabilite seconds, what a quick settle costs.
    void begin(const GuiderSettings &settings, bool rehearsal = false);
    // The run is over: the connection closes and a wait is dropped.
    void end();
    bool inUse() const { return m_inUse; }
    const GuiderSettings &settings() const { return m_settings; }
    GuiderClient *client() { return &m_client; }

    // "absent", "guidage en cours", "stabilisation (0,84 px)"...; empty when
    // no guider is used.
    QString stateText() const;
    // Dithers asked for during the run.
    int dithers() const { return m_dithers; }

    void afterRelease() override;
    bool holdsNextPress() const override { return m_holding; }

signals:
    void stateChanged();
    void ditherStarted(int number);
    // The wait is over: settled, or not (`why` in French).
    void ditherEnded(bool settled, const QString &why);

private:
    // `moved`: the guider may have shifted the mount, so the next frame
    // starts unsettled.
    void settleOver(bool settled, const QString &why, bool moved = true);
    QString startMark() const;

    GuiderClient m_client;
    GuiderSettings m_settings;
    std::unique_ptr<OneShot> m_deadline;
    bool m_inUse = false;
    bool m_rehearsal = false;
    bool m_holding = false;
    bool m_lastSettleFailed = false;
    bool m_absentSaid = false;
    int m_released = 0;
    int m_dithers = 0;
};

} // namespace tavrel
