#include "support/special_files.h"

#include <QDir>
#include <QFile>
#include <QtTest>

#include <sys/stat.h>

namespace tavrel::test {

void addSpecialFileRows()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("reason");
    QTest::newRow("FIFO") << "fifo" << "tube nommé";
    QTest::newRow("folder") << "folder" << "dossier";
    QTest::newRow("link to /dev/zero") << "zero" << "périphérique";
    QTest::newRow("too big") << "big" << "trop gros";
}

bool makeSpecialFile(const QString &kind, const QString &path, qint64 maxBytes, const QByteArray &text)
{
    if (kind == QLatin1String("fifo"))
        return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
    if (kind == QLatin1String("folder"))
        return QDir().mkdir(path);
    if (kind == QLatin1String("zero"))
        return QFile::link(QStringLiteral("/dev/zero"), path);
    QFile big(path);
    return big.open(QIODevice::WriteOnly) && big.write(text) == text.size() && big.resize(maxBytes + 1);
}

} // namespace tavrel::test
