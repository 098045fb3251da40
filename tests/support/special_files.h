#pragma once
// What may stand where a user's text file is expected: a FIFO, a folder, a
// link to /dev/zero, a regular file past the size allowed.

#include <QByteArray>
#include <QString>

namespace tavrel::test {

// The rows "kind" and "reason" (a key phrase of the message).
void addSpecialFileRows();
// A file too big holds `text`, then grows sparse to `maxBytes` + 1.
bool makeSpecialFile(const QString &kind, const QString &path, qint64 maxBytes, const QByteArray &text = {});

} // namespace tavrel::test
