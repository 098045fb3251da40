#include "windows/toolkit.h"

#include "windows/night.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QTranslator>

namespace tavrel {

void QtMessageBoxSink::show(const Message &message)
{
    const QMessageBox::Icon icon = message.kind == MessageKind::Error     ? QMessageBox::Critical
                                   : message.kind == MessageKind::Warning ? QMessageBox::Warning
                                                                          : QMessageBox::NoIcon;
    if (message.kind == MessageKind::Trace) {
        // The diagnostic switch steps through the library calls one click at a time.
        QMessageBox box(icon, message.caption, message.text, QMessageBox::Ok, QApplication::activeWindow());
        nightIcon(&box);
        box.exec();
        return;
    }
    // Anything else may come while a job, a scenario or a Pose runs (the
    // journal's warning comes from inside a release write): the box waits for
    // its reader on its own and the caller goes on at once, timers untouched.
    // It has no owner, so a mode switch leaves it up, and it is shown once
    // the events in hand have run, so a window opening now does not hide it.
    auto *box = new QMessageBox(icon, message.caption, message.text, QMessageBox::Ok);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    nightIcon(box);
    QMetaObject::invokeMethod(box, [box] {
        box->show();
        box->raise();
    }, Qt::QueuedConnection);
}

bool installQtTranslations()
{
    auto *translator = new QTranslator(QCoreApplication::instance());
    if (!translator->load(QStringLiteral("qtbase_fr"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete translator;
        return false;
    }
    return QCoreApplication::installTranslator(translator);
}

} // namespace tavrel
