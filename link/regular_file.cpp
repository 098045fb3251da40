#include "link/regular_file.h"

#include <QFile>
#include <QScopeGuard>

#include <algorithm>
#include <limits>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrel {

namespace {

QString sizeText(qint64 bytes)
{
    constexpr qint64 kMiB = 1024 * 1024;
    if (bytes >= kMiB && bytes % kMiB == 0)
        return QStringLiteral("%1 Mio").arg(bytes / kMiB);
    return QStringLiteral("%1 octets").arg(bytes);
}

QString tooBig(qint64 size, qint64 maxBytes)
{
    return QStringLiteral("le fichier est trop gros pour être lu (%1 ; %2 au plus)")
        .arg(sizeText(size), sizeText(maxBytes));
}

// What is wrong with the thing `st` describes; empty when it can be read.
QString kindProblem(const struct stat &st, qint64 maxBytes)
{
    if (S_ISREG(st.st_mode))
        return st.st_size > maxBytes ? tooBig(st.st_size, maxBytes) : QString();
    if (S_ISDIR(st.st_mode))
        return QStringLiteral("c'est un dossier, pas un fichier");
    if (S_ISFIFO(st.st_mode))
        return QStringLiteral("c'est un tube nommé (FIFO), pas un fichier ordinaire");
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
        return QStringLiteral("c'est un périphérique, pas un fichier ordinaire");
    if (S_ISSOCK(st.st_mode))
        return QStringLiteral("c'est une prise de communication (socket), pas un fichier ordinaire");
    return QStringLiteral("ce n'est pas un fichier ordinaire");
}

FileRead refused(const QString &problem) { return FileRead{FileRead::Refused, {}, problem}; }

FileRead failed(int error)
{
    if (error == ENOENT || error == ENOTDIR)
        return FileRead{};
    return refused(QStringLiteral("le fichier ne peut pas être lu (%1)")
                       .arg(QString::fromLocal8Bit(std::strerror(error))));
}

FileRead readOpened(int fd, qint64 maxBytes)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return failed(errno);
    if (const QString problem = kindProblem(st, maxBytes); !problem.isEmpty())
        return refused(problem);
    QByteArray bytes(qsizetype(std::min<qint64>(st.st_size, maxBytes) + 1), Qt::Uninitialized);
    qint64 total = 0;
    // Up to one byte more than allowed, which tells a file that grew
    // since it was looked at.
    while (total <= maxBytes) {
        if (total == bytes.size())
            bytes.resize(qsizetype(std::min<qint64>(2 * total, maxBytes + 1)));
        const ssize_t n = ::read(fd, bytes.data() + total, size_t(bytes.size() - total));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return failed(errno);
        if (n == 0)
            break;
        total += n;
    }
    if (total > maxBytes)
        return refused(tooBig(total, maxBytes));
    bytes.truncate(qsizetype(total));
    return FileRead{FileRead::Read, std::move(bytes), {}};
}

} // namespace

FileRead readRegularFile(const QString &path, qint64 maxBytes)
{
    const QByteArray name = QFile::encodeName(path);
    if (name.isEmpty())
        return FileRead{};
    // Looked at before opening: opening a device can itself do something (a
    // serial port drops its control lines).
    struct stat st {};
    if (::stat(name.constData(), &st) != 0)
        return failed(errno);
    if (const QString problem = kindProblem(st, maxBytes); !problem.isEmpty())
        return refused(problem);
    // Looked at again once open, in case the name was pointed elsewhere
    // meanwhile; O_NONBLOCK keeps a FIFO put there from holding up the open.
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return failed(errno);
    const auto closer = qScopeGuard([fd] { ::close(fd); });
    return readOpened(fd, maxBytes);
}

AppendFile openRegularForAppend(const QString &path)
{
    AppendFile out;
    const QByteArray name = QFile::encodeName(path);
    const auto cannot = [&out](int error) {
        out.problem = QStringLiteral("le fichier ne peut pas être ouvert (%1)")
                          .arg(QString::fromLocal8Bit(std::strerror(error)));
        return out;
    };
    if (name.isEmpty())
        return cannot(ENOENT);
    struct stat st {};
    if (::stat(name.constData(), &st) == 0) {
        out.problem = kindProblem(st, std::numeric_limits<qint64>::max());
        if (!out.problem.isEmpty())
            return out;
    }
    const int fd = ::open(name.constData(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0)
        return cannot(errno);
    // Looked at again: the name may have been pointed elsewhere meanwhile.
    if (::fstat(fd, &st) != 0) {
        const int error = errno;
        ::close(fd);
        return cannot(error);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        out.problem = kindProblem(st, std::numeric_limits<qint64>::max());
        return out;
    }
    out.fd = fd;
    return out;
}

} // namespace tavrel
