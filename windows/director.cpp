#include "windows/director.h"

#include "link/journal.h"
#include "windows/about.h"
#include "windows/tavrel_async.h"
#include "windows/tavrel_manu.h"
#include "windows/tavrel_sync.h"

// The icons are compiled into the core library; a static library's
// resources must be registered by hand.
static void registerResources() { Q_INIT_RESOURCE(tavrel); }

namespace tavrel {

Director &Director::instance()
{
    static const bool registered = (registerResources(), true);
    Q_UNUSED(registered);
    static Director director;
    return director;
}

ModeWindow *Director::create(Mode mode)
{
    switch (mode) {
    case Mode::Sequence:
        return new Tavrel_async;
    case Mode::Scenario:
        return new Tavrel_sync;
    case Mode::Manual:
        return new Tavrel_manu;
    }
    return nullptr;
}

void Director::watch(ModeWindow *w)
{
    connect(w, &ModeWindow::unloaded, this, [this, w] {
        if (m_switching || w != m_current)
            return;
        m_current = nullptr;
        // The About window never keeps the program alive on its own.
        if (m_about)
            m_about->close();
        emit lastWindowClosed();
    });
}

ModeWindow *Director::open(Mode mode)
{
    ModeWindow *w = create(mode);
    watch(w);
    m_current = w;
    w->Form_Load();
    w->show();
    emit windowOpened(w);
    return w;
}

ModeWindow *Director::switchMode(ModeWindow *from, Mode target)
{
    if (!from || from->isUnloaded())
        return nullptr;
    m_switching = true;
    // The window left behind lets go on its own handle and closes it before
    // the next one opens the adapter: closed first, a pressed release would
    // be left to whatever the new open does, and to nothing if it failed.
    from->prepareForSwitch();
    from->Form_Unload();
    ModeWindow *to = open(target);
    from->closeWithoutAsking();
    m_switching = false;
    return to;
}

void Director::showAbout()
{
    // No owner and no modal loop: the mode window and its timers keep running.
    if (!m_about) {
        auto *about = new About;
        about->setAttribute(Qt::WA_DeleteOnClose);
        m_about = about;
    }
    m_about->show();
    m_about->raise();
}

void Director::shutdown()
{
    if (m_current)
        ExposureJournal::instance().setProgramEnding(true);
    if (m_current)
        m_current->closeWithoutAsking();
}

} // namespace tavrel
