#pragma once
// What the three mode windows share: load and unload, the connection watch
// (`Connected`), the clock, the About entry and the switch to another mode.
// Each window class adds its own controls and the differences the frame
// leaves to it through the hooks below.

#include <QLabel>
#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>
#include <functional>


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

    // Closes the window without the question a running exposure asks: a
    // mode switch already agreed to, a signal, the end of the session.
    void closeWithoutAsking();
    // The question asked before a run is ended by a switch or the close box,
    // while it waits for its answer.
    QMessageBox *pendingQuestion() const { return m_question; }

    // Shows the colours of the night or of the day on the window's own
    // figures; the rest follows the application's palette.
    void applyNight();

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
    // An exposure, a job, a scenario or a Pose T is running: ending the
    // window now would end the night, so the user is asked first.
    virtual bool runUnderWay() const;
    // What the question names as under way, one sentence: an exposure, the
    // delay before the next one, a wait for a timed step.
    virtual QString runUnderWayText() const;

    // "Arrêt demandé": from a stop click until the run ends, `label` says
    // whether the exposure under way still runs, and `button` stays greyed.
    void showLinkState();
    void showStopRequested(QLabel *label, QWidget *button);
    void clearStopRequested();
    virtual bool shotUnderWay() const { return false; }
    bool stopRequested() const { return m_stopLabel != nullptr; }

    void switchTo(Mode target);
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

    Shape *Indicateur_Connexion = nullptr;
    Shape *Mirorup = nullptr;
    QLabel *showtime = nullptr;
    QLabel *Restant = nullptr;

private:
    // Asks "<what runs> <ending>" without holding anything up; `yes` runs
    // on "Oui" only.
    void askBeforeEnding(const QString &ending, std::function<void()> yes);
    // Each watch tick: the question follows the run, and goes with it.
    void followQuestion();

    bool m_unloaded = false;
    bool m_closeAgreed = false;
    bool m_linkReady = false;
    QPointer<QMessageBox> m_question;
    QString m_questionEnding;
    QPointer<QLabel> m_stopLabel;
    QPointer<QWidget> m_stopButton;
    QString m_labelTextBeforeStop;
    bool m_labelVisibleBeforeStop = false;
    bool m_buttonEnabledBeforeStop = true;
};

// What the stop notice says, with or without an exposure under way.
QString stopText(bool shotUnderWay);

// The comment label's text; when cut, the whole of it goes in the tooltip.
void setCommentText(QLabel *label, const QString &text);

// Shows a whole number of seconds the way the labels do: floor(ms / 1000).
QString wholeSeconds(std::int64_t ms);

} // namespace tavrel
