#pragma once
// What the three mode windows share: load and unload, the connection watch
// (`Connected`), the clock, the About entry and the switch to another mode.
// Each window class adds its own controls and the differences the frame
// leaves to it through the hooks below.

#include <QMainWindow>
#include <QPointer>

class QLabel;

namespace tavrel {

class Shape;
class WindowTimer;

enum class Mode { Sequence, Scenario, Manual };

class ModeWindow : public QMainWindow {
    Q_OBJECT
public:
    ~ModeWindow() override;

    virtual Mode mode() const = 0;

    // Window start-up: settings, mirror indicator, connection check, watch.
    void Form_Load();
    // Window shut-down: watch off, release let go, adapter closed. Runs once,
    // whichever way the window goes (mode switch, close box, program end).
    void Form_Unload();
    bool isUnloaded() const { return m_unloaded; }

    void is_usb_connected();
    void Connected_Timer();
    void showtime_Click();

    WindowTimer *Connected = nullptr;

    // A mode switch is on its way: called before the target window loads
    // (whose settings load clears ShutterHeld), then the watch goes off.
    virtual void beforeSwitch() {}
    void prepareForSwitch();

signals:
    void unloaded();

protected:
    explicit ModeWindow(QWidget *parent = nullptr);

    // Finds the frame's controls by name and wires the menu; call after setupUi.
    void bindFrame();

    // Hooks where the windows differ.
    virtual void afterConnectionCheck() {}
    virtual void afterWatchStarted() {}
    virtual void showExposure();
    virtual void showCountdown() {}
    virtual bool showsClock() const { return true; }
    virtual bool countsExposureUp() const { return false; }
    virtual bool releasesOnUnload() const { return true; }
    // The window's own jobs stop here, before the release is let go.
    virtual void stopJobs() {}

    void switchTo(Mode target);
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

    Shape *Indicateur_Connexion = nullptr;
    Shape *Mirorup = nullptr;
    QLabel *showtime = nullptr;
    QLabel *Restant = nullptr;

private:
    bool m_unloaded = false;
};

// Shows a whole number of seconds the way the labels do: floor(ms / 1000).
QString wholeSeconds(std::int64_t ms);

} // namespace tavrel
