#pragma once
// The window timer the handlers are written against: an interval in
// milliseconds, an enabled flag and a text tag. A tick comes one interval
// after the timer was last enabled or given an interval; interval 0 or a
// disabled timer never ticks; one handler runs to its end before the next
// tick of the same timer. It runs on the time base, so the same windows run on
// Qt's precise timers in production and in virtual time in tests.

#include <QObject>
#include <QString>
#include <memory>

namespace tavrel {

class OneShot;

class WindowTimer final : public QObject {
    Q_OBJECT
public:
    explicit WindowTimer(QObject *parent = nullptr);
    ~WindowTimer() override;

    int Interval() const { return m_interval; }
    void setInterval(int ms);
    bool Enabled() const { return m_enabled; }
    void setEnabled(bool enabled);
    QString Tag() const { return m_tag; }
    void setTag(const QString &tag) { m_tag = tag; }

    // Armed and due to tick at some point.
    bool isTicking() const;

signals:
    void Timer();

private:
    void arm();
    void fire();

    std::unique_ptr<OneShot> m_shot;
    int m_interval = 0;
    bool m_enabled = true; // created enabled, silent until given an interval
    QString m_tag;
    bool m_inHandler = false;
    bool m_tickPending = false;
};

} // namespace tavrel
