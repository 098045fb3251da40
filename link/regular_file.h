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

// A file the program appends to (the exposure journal, the adapter log),
// opened the same careful way: created when missing, refused with a French
// reason when it is no regular file. A FIFO put in its place would otherwise
// hold up the open, and with it the whole night.
struct AppendFile {
    int fd = -1; // open for appending, or -1
    QString problem;
};
AppendFile openRegularForAppend(const QString &path);

} // namespace tavrel
