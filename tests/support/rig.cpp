#include "support/rig.h"

#include "windows/controls.h"
#include "windows/director.h"
#include "windows/tavrel_sync.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QWidget>

namespace tavrel::test {

Rig::~Rig()
{
    // Windows go first: their timers live on this rig's virtual time.
    Director::instance().shutdown();
    if (QWidget *about = Director::instance().about())
        about->close();
    flushDeletes();
}

ModeWindow *Rig::open(Mode mode) { return Director::instance().open(mode); }

bool Rig::startScenario(Tavrel_sync *window, const QString &path)
{
    const QFileInfo file(path);
    if (!window->findChild<DirListBox *>(QStringLiteral("Dir1"))->setPath(file.absolutePath()))
        return false;
    window->findChild<FileListBox *>(QStringLiteral("File1"))->pickFile(file.fileName());
    window->Buble_Click();
    return true;
}

bool Rig::startScenario(Tavrel_sync *window, const QString &name, const QByteArray &steps)
{
    QFile file(m_scenarios.filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(steps) != steps.size())
        return false;
    file.close();
    return startScenario(window, file.fileName());
}

bool Rig::answer(ModeWindow *window, bool yes)
{
    QMessageBox *box = window->pendingQuestion();
    if (!box)
        return false;
    box->button(yes ? QMessageBox::Yes : QMessageBox::No)->click();
    return true;
}

void Rig::flushDeletes() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

} // namespace tavrel::test
