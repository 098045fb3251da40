#include "windows/toolkit.h"

#include "link/timebase.h"

#include <QApplication>
#include <QMessageBox>

namespace tavrel {

void yieldEvents() { timeBase().yield(); }

QDateTime timeOfDay() { return timeBase().now(); }

void QtMessageBoxSink::show(const Message &message)
{
    QMessageBox box(message.kind == MessageKind::Error     ? QMessageBox::Critical
                    : message.kind == MessageKind::Warning ? QMessageBox::Warning
                                                           : QMessageBox::NoIcon,
                    message.caption, message.text, QMessageBox::Ok,
                    QApplication::activeWindow());
    box.exec();
}

} // namespace tavrel
