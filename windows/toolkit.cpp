#include "windows/toolkit.h"

#include <QApplication>
#include <QMessageBox>

namespace tavrel {

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
