#pragma once
// The engine rig with the windows on top: opens mode windows the way the
// program does, and closes them first when the test ends, since their timers
// live on the rig's virtual time.

#include "support/engine_rig.h"
#include "windows/mode_window.h"

namespace tavrel {
class Tavrel_sync;
}

namespace tavrel::test {

class Rig : public EngineRig {
public:
    using EngineRig::EngineRig;
    ~Rig() override;

    // Opens a mode window the way the program does (built, loaded, shown).
    ModeWindow *open(Mode mode);
    // What a user does to start a run: open the file's folder, click the
    // file, then "Start scenario".
    bool startScenario(Tavrel_sync *window, const QString &path);
    // The same for a file holding `steps`, written as `name` in a folder of
    // the rig's own.
    bool startScenario(Tavrel_sync *window, const QString &name, const QByteArray &steps);
    // Answers the question a window asks before ending a run ("Oui" or
    // "Non"); false when no question is open.
    static bool answer(ModeWindow *window, bool yes);
    // Windows closed by a test are deleted once events run; this runs them.
    void flushDeletes();

private:
    QTemporaryDir m_scenarios;
};

} // namespace tavrel::test
