#include "support/rig.h"

#include "windows/director.h"

#include <QCoreApplication>
#include <QEvent>
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

void Rig::flushDeletes() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

} // namespace tavrel::test
