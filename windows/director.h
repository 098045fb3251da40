#pragma once
// Which mode window is open, the switch from one to another, the About
// window, and the end of the program when the last mode window goes.

#include "windows/mode_window.h"

#include <QObject>
#include <QPointer>
#include <functional>

namespace tavrel {

class Director final : public QObject {
    Q_OBJECT
public:
    static Director &instance();

    // Opens the window of `mode` (built anew from its layout) and loads it.
    ModeWindow *open(Mode mode);
    // This watch off and this unloaded (release let go, adapter closed),
    // then the target loaded and shown.
    ModeWindow *switchMode(ModeWindow *from, Mode target);
    ModeWindow *current() const { return m_current; }

    void showAbout();
    QWidget *about() const { return m_about; }

    // Closes the current mode window the ordinary way (release let go,
    // adapter closed); used on signals and at logout.
    void shutdown();

signals:
    void lastWindowClosed();
    void windowOpened(tavrel::ModeWindow *window);

private:
    Director() = default;
    ModeWindow *create(Mode mode);
    void watch(ModeWindow *w);

    QPointer<ModeWindow> m_current;
    QPointer<QWidget> m_about;
    bool m_switching = false;
};

} // namespace tavrel
