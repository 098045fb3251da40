// Custom widgets used by the Tavrel windows: the small flat figures that
// signal the link and mirror state and draw the progress bar, and the spin
// arrows paired with a text box. The drive / folder / file lists the
// scenario window uses to pick a scenario file are in file_lists.h.
//
// Every setting a window needs is a Q_PROPERTY so the .ui files can set it.
#pragma once

#include <QColor>
#include <QPointer>
#include <QString>
#include <QWidget>

class QLineEdit;
class QToolButton;

namespace tavrel {

// Colours are stored in the settings and scenario files as 24-bit numbers
// with red in the low byte (255 is red, 65280 green, 192 dark red).
QColor colorFromBgr(int bgr);
int bgrFromColor(const QColor &color);

// A rectangle or circle with an outline and an optional fill. It paints
// nothing outside the figure, so whatever lies below stays visible.
class Shape : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(QColor fillColor READ fillColor WRITE setFillColor)
    Q_PROPERTY(int fillStyle READ fillStyle WRITE setFillStyle)
    Q_PROPERTY(QColor borderColor READ borderColor WRITE setBorderColor)
    Q_PROPERTY(int borderWidth READ borderWidth WRITE setBorderWidth)
    Q_PROPERTY(bool round READ isRound WRITE setRound)
    Q_PROPERTY(int fillBgr READ fillBgr WRITE setFillBgr STORED false DESIGNABLE false)

public:
    // CrossHatch is the adapter missing at night: it must not be taken for
    // the lines of the mirror indicator.
    enum FillStyle { Solid = 0, Transparent = 1, HorizontalLines = 2, VerticalLines = 3, CrossHatch = 4 };

    explicit Shape(QWidget *parent = nullptr);

    QColor fillColor() const { return m_fillColor; }
    void setFillColor(const QColor &color);
    int fillStyle() const { return m_fillStyle; }
    void setFillStyle(int style);
    QColor borderColor() const { return m_borderColor; }
    void setBorderColor(const QColor &color);
    int borderWidth() const { return m_borderWidth; }
    void setBorderWidth(int px);
    bool isRound() const { return m_round; }
    void setRound(bool round);

    int fillBgr() const { return bgrFromColor(m_fillColor); }
    void setFillBgr(int bgr) { setFillColor(colorFromBgr(bgr)); }

    // The progress bar grows from its left edge: keep x and height.
    void setShapeWidth(int px);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QColor m_fillColor = Qt::black;
    int m_fillStyle = Transparent;
    QColor m_borderColor = QColor(192, 0, 0);
    int m_borderWidth = 3;
    bool m_round = false;
};

// Up and down arrows stacked on each other that step the whole number shown
// in a sibling text box (the buddy), within [minimum, maximum].
class UpDown : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(QString buddyName READ buddyName WRITE setBuddyName)
    Q_PROPERTY(int minimum READ minimum WRITE setMinimum)
    Q_PROPERTY(int maximum READ maximum WRITE setMaximum)
    Q_PROPERTY(int increment READ increment WRITE setIncrement)

public:
    explicit UpDown(QWidget *parent = nullptr);

    QString buddyName() const { return m_buddyName; }
    void setBuddyName(const QString &name);
    int minimum() const { return m_minimum; }
    void setMinimum(int value) { m_minimum = value; }
    int maximum() const { return m_maximum; }
    void setMaximum(int value) { m_maximum = value; }
    int increment() const { return m_increment; }
    void setIncrement(int value) { m_increment = value; }

    // The text box named by buddyName among the parent's children, or null.
    QLineEdit *buddy() const;
    QToolButton *upButton() const { return m_up; }
    QToolButton *downButton() const { return m_down; }

public slots:
    void stepUp();
    void stepDown();

protected:
    void resizeEvent(QResizeEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void stepBy(int direction);

    QToolButton *m_up;
    QToolButton *m_down;
    QString m_buddyName;
    mutable QPointer<QLineEdit> m_buddy;
    int m_minimum = 0;
    int m_maximum = 100;
    int m_increment = 1;
    bool m_hasWritten = false;
    int m_lastWritten = 0;
};

} // namespace tavrel

// The file lists were written beside these widgets and the windows' forms
// still name this header for them.
#include "windows/file_lists.h"
