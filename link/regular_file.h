#pragma once
// Reading a small text file the user names or edits (a scenario, the
// settings file). Only a regular file of sane size is read: a FIFO would
// hold up the open or the read for good, a device such as /dev/zero never
// ends, a folder holds no text. Such a name is refused with a French reason,
// and nothing ever waits on it.

#include <QByteArray>
#include <QString>

namespace tavrel {

struct FileRead {
    enum Status { Read, Missing, Refused };
    Status status = Missing;
    QByteArray bytes;
    // Why the file was refused, in French, without its path: the caller
    // names the file as its own messages do.
    QString problem;
};

FileRead readRegularFile(const QString &path, qint64 maxBytes);

} // namespace tavrel
