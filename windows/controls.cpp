#include "windows/controls.h"

#include "windows/night.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QStyle>
#include <QToolButton>

#include <algorithm>

namespace tavrel {

QColor colorFromBgr(int bgr)
{
    return QColor(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF);
}

int bgrFromColor(const QColor &color)
{
    return color.red() | (color.green() << 8) | (color.blue() << 16);
}

// ---------------------------------------------------------------- Shape

Shape::Shape(QWidget *parent) : QWidget(parent)
{
    // Only the figure is painted; the window shows through everywhere else.
    setAttribute(Qt::WA_NoSystemBackground);
    setAutoFillBackground(false);
}

void Shape::setFillColor(const QColor &color)
{
    if (m_fillColor == color)
        return;
    m_fillColor = color;
    update();
}

void Shape::setFillStyle(int style)
{
    if (m_fillStyle == style)
        return;
    m_fillStyle = style;
    update();
}

void Shape::setBorderColor(const QColor &color)
{
    if (m_borderColor == color)
        return;
    m_borderColor = color;
    update();
}

void Shape::setBorderWidth(int px)
{
    px = std::max(0, px);
    if (m_borderWidth == px)
        return;
    m_borderWidth = px;
    update();
}

void Shape::setRound(bool round)
{
    if (m_round == round)
        return;
    m_round = round;
    update();
}

void Shape::setShapeWidth(int px)
{
    setGeometry(x(), y(), std::max(0, px), height());
}

void Shape::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    // At night the figures keep their shapes, in reds only; outlines dimmed.
    const bool night = nightVision();
    const QColor fill = night ? nightColor(m_fillColor) : m_fillColor;
    QColor border = m_borderColor;
    if (night) {
        border = nightColor(border);
        border.setRed(std::min(border.red(), 130));
    }
    QBrush brush;
    switch (m_fillStyle) {
    case Solid: brush = QBrush(fill, Qt::SolidPattern); break;
    case HorizontalLines: brush = QBrush(fill, Qt::HorPattern); break;
    case VerticalLines: brush = QBrush(fill, Qt::VerPattern); break;
    case CrossHatch: brush = QBrush(fill, Qt::DiagCrossPattern); break;
    default: break; // transparent: outline only
    }
    const int bw = m_borderWidth;

    if (m_round) {
        const int side = std::min(width(), height());
        const QRectF circle((width() - side) / 2.0, (height() - side) / 2.0, side, side);
        painter.setRenderHint(QPainter::Antialiasing);
        if (bw > 0)
            painter.setPen(QPen(border, bw));
        else
            painter.setPen(Qt::NoPen);
        painter.setBrush(brush);
        // The pen straddles the path: pull it in so the outline stays inside.
        painter.drawEllipse(circle.adjusted(bw / 2.0, bw / 2.0, -bw / 2.0, -bw / 2.0));
        return;
    }

    // Rectangles are filled, not stroked, so a 1 px frame stays crisp.
    const QRect outer = rect();
    const QRect inner = outer.adjusted(bw, bw, -bw, -bw);
    if (brush.style() != Qt::NoBrush && inner.isValid())
        painter.fillRect(inner, brush);
    if (bw > 0) {
        QPainterPath frame;
        frame.setFillRule(Qt::OddEvenFill);
        frame.addRect(outer);
        if (inner.isValid())
            frame.addRect(inner);
        painter.fillPath(frame, border);
    }
}

// ---------------------------------------------------------------- UpDown

UpDown::UpDown(QWidget *parent)
    : QWidget(parent), m_up(new QToolButton(this)), m_down(new QToolButton(this))
{
    setFocusPolicy(Qt::TabFocus);
    for (QToolButton *button : {m_up, m_down}) {
        // The widget itself takes focus, so the arrow keys reach it.
        button->setFocusPolicy(Qt::NoFocus);
        button->setAutoRepeat(true);
    }
    m_up->setArrowType(Qt::UpArrow);
    m_down->setArrowType(Qt::DownArrow);
    connect(m_up, &QToolButton::clicked, this, &UpDown::stepUp);
    connect(m_down, &QToolButton::clicked, this, &UpDown::stepDown);
}

void UpDown::setBuddyName(const QString &name)
{
    if (m_buddyName == name)
        return;
    m_buddyName = name;
    m_buddy.clear();
}

QLineEdit *UpDown::buddy() const
{
    // Resolved late: when the .ui builds the window, the buddy may be
    // created after this control.
    if (!m_buddy && !m_buddyName.isEmpty() && parentWidget()) {
        m_buddy = parentWidget()->findChild<QLineEdit *>(m_buddyName, Qt::FindDirectChildrenOnly);
        if (!m_buddy)
            m_buddy = parentWidget()->findChild<QLineEdit *>(m_buddyName);
    }
    return m_buddy;
}

void UpDown::stepUp()
{
    stepBy(1);
}

void UpDown::stepDown()
{
    stepBy(-1);
}

void UpDown::stepBy(int direction)
{
    QLineEdit *edit = buddy();
    if (!edit)
        return;
    bool ok = false;
    qint64 value = edit->text().trimmed().toLongLong(&ok, 10);
    if (!ok)
        value = m_hasWritten ? m_lastWritten : m_minimum;
    const qint64 lo = std::min(m_minimum, m_maximum);
    const qint64 hi = std::max(m_minimum, m_maximum);
    // Stop at the ends of the range; never wrap around.
    const int result = int(std::clamp(value + qint64(direction) * m_increment, lo, hi));
    m_hasWritten = true;
    m_lastWritten = result;
    const QString text = QString::number(result);
    if (edit->text() != text)
        edit->setText(text);
}

void UpDown::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    const int half = height() / 2;
    m_up->setGeometry(0, 0, width(), half);
    m_down->setGeometry(0, half, width(), height() - half);
}

void UpDown::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Up: stepUp(); break;
    case Qt::Key_Down: stepDown(); break;
    default: QWidget::keyPressEvent(event); break;
    }
}

} // namespace tavrel
