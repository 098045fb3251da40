#include "windows/night.h"

#include "link/settings.h"
#include "windows/mode_window.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QImage>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPalette>
#include <QProxyStyle>
#include <QStyleFactory>

namespace tavrel {

namespace {

bool g_night = false;

const QString kSection = QStringLiteral("Affichage");
const QString kKey = QStringLiteral("Nuit");

// Dim red on black; the brightest red kept for what must catch the eye.
const QColor kBlack(0, 0, 0);
const QColor kPanel(24, 0, 0);
const QColor kText(170, 0, 0);
const QColor kMuted(90, 0, 0);
const QColor kLine(120, 0, 0);

QPalette nightPalette()
{
    QPalette p;
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        const bool off = group == QPalette::Disabled;
        p.setColor(group, QPalette::Window, kBlack);
        p.setColor(group, QPalette::Base, kBlack);
        p.setColor(group, QPalette::AlternateBase, kPanel);
        p.setColor(group, QPalette::Button, kPanel);
        p.setColor(group, QPalette::WindowText, off ? kMuted : kText);
        p.setColor(group, QPalette::Text, off ? kMuted : kText);
        p.setColor(group, QPalette::ButtonText, off ? kMuted : kText);
        p.setColor(group, QPalette::BrightText, kText);
        p.setColor(group, QPalette::PlaceholderText, kMuted);
        p.setColor(group, QPalette::Highlight, QColor(70, 0, 0));
        p.setColor(group, QPalette::HighlightedText, kText);
        p.setColor(group, QPalette::ToolTipBase, kBlack);
        p.setColor(group, QPalette::ToolTipText, kText);
        p.setColor(group, QPalette::Link, kText);
        p.setColor(group, QPalette::LinkVisited, kMuted);
        p.setColor(group, QPalette::Light, kLine);
        p.setColor(group, QPalette::Midlight, kMuted);
        p.setColor(group, QPalette::Mid, kMuted);
        p.setColor(group, QPalette::Dark, kPanel);
        p.setColor(group, QPalette::Shadow, kBlack);
    }
    return p;
}

// The layouts give some labels and boxes colours of their own; the style
// sheet outranks them, and draws the standard controls flat, without the
// style's white or grey gradients.
QString nightStyleSheet()
{
    return QStringLiteral(
        "* { color: rgb(170,0,0); selection-background-color: rgb(70,0,0); selection-color: rgb(170,0,0); }"
        "*:disabled { color: rgb(90,0,0); }"
        "QMainWindow, QDialog, QMessageBox, QMenu, QToolTip, QWidget#SimulatedPanel { background-color: black; }"
        "QLabel { background: transparent; }"
        "QMenuBar { background-color: black; border-bottom: 1px solid rgb(60,0,0); }"
        "QMenuBar::item { background: transparent; }"
        "QMenuBar::item:selected, QMenu::item:selected { background-color: rgb(70,0,0); }"
        "QMenu { border: 1px solid rgb(120,0,0); }"
        "QMenu::item { padding: 3px 20px 3px 20px; }"
        "QMenu::indicator { width: 10px; height: 10px; left: 4px; border: 1px solid rgb(120,0,0); }"
        "QMenu::indicator:checked { background-color: rgb(170,0,0); }"
        "QToolTip { border: 1px solid rgb(120,0,0); }"
        "QPushButton, QToolButton { background-color: rgb(24,0,0); border: 1px solid rgb(120,0,0);"
        " padding: 2px 6px; }"
        "QPushButton:pressed, QToolButton:pressed { background-color: rgb(70,0,0); }"
        "QPushButton:disabled, QToolButton:disabled { border-color: rgb(60,0,0); }"
        "QPushButton:focus, QPushButton:default { border: 2px solid rgb(150,0,0); }"
        "QLineEdit, QListView, QListWidget, QComboBox, QTextEdit, QPlainTextEdit {"
        " background-color: black; border: 1px solid rgb(120,0,0); }"
        "QComboBox::drop-down { border-left: 1px solid rgb(120,0,0); width: 14px; }"
        "QComboBox::down-arrow { image: none; width: 0; height: 0; border-left: 4px solid black;"
        " border-right: 4px solid black; border-top: 5px solid rgb(170,0,0); }"
        "QComboBox QAbstractItemView { background-color: black; border: 1px solid rgb(120,0,0); }"
        "QScrollBar { background-color: black; border: 1px solid rgb(60,0,0); width: 12px; height: 12px; }"
        "QScrollBar::handle { background-color: rgb(60,0,0); min-height: 16px; min-width: 16px; }"
        "QScrollBar::add-line, QScrollBar::sub-line { width: 0; height: 0; border: none; }"
        "QScrollBar::add-page, QScrollBar::sub-page { background: none; }"
        "QCheckBox::indicator, QRadioButton::indicator { width: 10px; height: 10px;"
        " border: 1px solid rgb(120,0,0); background-color: black; }"
        "QCheckBox::indicator:checked, QRadioButton::indicator:checked { background-color: rgb(170,0,0); }"
        "QToolButton { padding: 0; }");
}

// A text field's caret is drawn by inverting what lies below it: white on
// the night's black, whatever the palette says. At night the style gives it
// no width, and the caret is drawn in red over the field instead (steady).
class NightStyle final : public QProxyStyle
{
public:
    using QProxyStyle::QProxyStyle;
    int pixelMetric(PixelMetric metric, const QStyleOption *option, const QWidget *widget) const override
    {
        if (metric == PM_TextCursorWidth && g_night)
            return 0;
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
};

class NightCaret final : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (!g_night || event->type() != QEvent::Paint)
            return false;
        auto *edit = qobject_cast<QLineEdit *>(watched);
        if (!edit || !edit->hasFocus() || edit->isReadOnly())
            return false;
        // The field paints itself first; the caret goes on top.
        static_cast<QObject *>(edit)->event(event);
        // The caret's surroundings: 5 px either side of it.
        const QRect around = edit->inputMethodQuery(Qt::ImCursorRectangle).toRect();
        QPainter painter(edit);
        painter.fillRect(QRect(around.left() + 5, around.top(), 1, around.height()), kText);
        return true;
    }
};

void installNightCaret(QApplication *app)
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    QApplication::setStyle(new NightStyle(QStyleFactory::create(QApplication::style()->name())));
    app->installEventFilter(new NightCaret(app));
}

QPalette &dayPalette()
{
    static QPalette palette;
    return palette;
}

void apply(bool on)
{
    auto *app = qobject_cast<QApplication *>(QCoreApplication::instance());
    if (!app)
        return;
    static bool dayKept = false;
    if (!dayKept) {
        dayPalette() = QApplication::palette();
        dayKept = true;
        installNightCaret(app);
    }
    QApplication::setPalette(on ? nightPalette() : dayPalette());
    app->setStyleSheet(on ? nightStyleSheet() : QString());
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *mode = qobject_cast<ModeWindow *>(w))
            mode->applyNight();
        for (QAction *a : w->findChildren<QAction *>(QString::fromLatin1(kNightActionName)))
            a->setChecked(on);
    }
}

} // namespace

bool nightVision() { return g_night; }

void setNightVision(bool on)
{
    const bool changed = on != g_night;
    g_night = on;
    apply(on);
    if (changed)
        WriteSetting(kSection, kKey, on ? QStringLiteral("1") : QStringLiteral("0"),
                     QString::fromLatin1(kSettingsFile));
}

void loadNightVision()
{
    g_night = ReadSetting(kSection, kKey, QString::fromLatin1(kSettingsFile)).trimmed() == QLatin1String("1");
    apply(g_night);
}

void addNightEntry(QMainWindow *window)
{
    // The layouts carry "Run" as an empty entry of the menu bar: it becomes
    // a menu holding the switch.
    auto *run = window->findChild<QAction *>(QStringLiteral("Run"));
    if (!run)
        return;
    auto *menu = new QMenu(window);
    auto *night = menu->addAction(QStringLiteral("Vision de nuit"));
    night->setObjectName(QString::fromLatin1(kNightActionName));
    night->setCheckable(true);
    night->setChecked(g_night);
    QObject::connect(night, &QAction::triggered, night, [](bool on) { setNightVision(on); });
    run->setMenu(menu);
}

QColor nightColor(const QColor &color)
{
    if (color.green() == 0 && color.blue() == 0)
        return color;
    const int level = std::max({color.red(), color.green(), color.blue()});
    return QColor(level * 60 / 255, 0, 0, color.alpha());
}

QImage nightImage(const QImage &image, int brightest)
{
    QImage out = image.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < out.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(out.scanLine(y));
        for (int x = 0; x < out.width(); ++x) {
            const QRgb p = line[x];
            // Premultiplied or not, a pixel with no green or blue stays red.
            const int level = std::max({qRed(p), qGreen(p), qBlue(p)});
            line[x] = qRgba(level * brightest / 255, 0, 0, qAlpha(p));
        }
    }
    return out;
}

void nightIcon(QMessageBox *box)
{
    if (!g_night)
        return;
    if (!box->iconPixmap().isNull())
        box->setIconPixmap(QPixmap::fromImage(nightImage(box->iconPixmap().toImage())));
    // Some desktops put a green tick and a grey cross on the buttons.
    for (QAbstractButton *button : box->buttons())
        button->setIcon(QIcon());
}

} // namespace tavrel
