#include "windows/manual_mode.h"

#include "link/release_line.h"
#include "link/shared_values.h"
#include "link/journal.h"

namespace tavrel {

ManualMode::ManualMode(ManualView *view, QObject *parent) : QObject(parent), m_view(view)
{
    ExposureJournal::instance();
}

static void journalManualExposure()
{
    ExposureJournal::instance().exposureStarted(
        JournalExposure{QStringLiteral("manuel"), std::nullopt, std::nullopt, QString()});
}

void ManualMode::PressT_Click()
{
    SharedValues &v = shared();
    if (v.ShutterHeld != 0) {
        ReleaseShutter();
        v.ShutterHeld = 0;
        m_view->setPoseBEnabled(true);
        m_poseT = false;
        emit exposureEnded(true);
    } else {
        v.ExposureClockMs = 0;
        v.ShutterHeld = -1;
        m_view->setPoseBEnabled(false);
        PressShutter();
        journalManualExposure();
        m_poseT = true;
        emit exposureStarted(true);
    }
}

void ManualMode::PressB_MouseDown()
{
    SharedValues &v = shared();
    PressShutter();
    journalManualExposure();
    v.ExposureClockMs = 0;
    v.ShutterHeld = -1;
    emit exposureStarted(false);
}

void ManualMode::PressB_MouseUp()
{
    ReleaseShutter();
    shared().ShutterHeld = 0;
    emit exposureEnded(false);
}

void ManualMode::Command2_Click()
{
    // The set-up lets the release go: a Pose T under way ends first, as its
    // own second click would end it, so that the window and the journal say
    // so.
    if (m_poseT)
        PressT_Click();
    OpenDevice();
}

} // namespace tavrel
