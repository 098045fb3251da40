// The drive / folder / file lists the scenario window uses to pick a
// scenario file. They follow the disk: a file saved, a folder removed, a
// stick plugged in show up by themselves.
#pragma once

#include <QComboBox>
#include <QHash>
#include <QListWidget>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

namespace tavrel {

// The mounted volumes a scenario folder can live on, "/" first.
class DriveListBox : public QComboBox
{
    Q_OBJECT
    Q_PROPERTY(QString drive READ drive WRITE setDrive NOTIFY change)

public:
    explicit DriveListBox(QWidget *parent = nullptr);

    // Root path of the selected volume.
    QString drive() const;
    // Selects the volume holding text (a volume root or any path below it);
    // text naming no volume leaves the selection alone.
    void setDrive(const QString &text);
    // Root paths in list order.
    QStringList drives() const;
    // Lists exactly these volume roots ("/" always first), keeping the
    // selection when it is still listed; refresh() feeds it the mounts.
    void setDriveRoots(const QStringList &roots);

public slots:
    // Scans the mounted volumes again, keeping the selection when possible.
    void refresh();

signals:
    void change();

private:
    void fill(QStringList roots, const QHash<QString, QString> &labels);
    void emitIfChanged();

    QString m_lastDrive;
};

// The classic folder list: the chain of folders from the drive root down to
// the current folder, then the current folder's sub-folders.
class DirListBox : public QListWidget
{
    Q_OBJECT
    Q_PROPERTY(QString path READ path WRITE setPath NOTIFY change)
    Q_PROPERTY(QString driveRoot READ driveRoot WRITE setDriveRoot)

public:
    explicit DirListBox(QWidget *parent = nullptr);

    QString path() const { return m_path; }
    // Returns false, leaving the list as it was, when p is not a folder that
    // can be listed. "\" (or a bare Windows drive such as "c:\") means the
    // root of the current drive.
    bool setPath(const QString &p);
    QString driveRoot() const { return m_driveRoot; }
    void setDriveRoot(const QString &root);

    // Full path of the folder shown on a given row.
    QString folderAt(int row) const;
    // The full path setPath(p) would show.
    QString resolve(const QString &p) const;
    // "\", "c:", "c:\": the root of a Windows drive, as older settings hold.
    static bool namesADriveRoot(const QString &p);

public slots:
    void refresh();

signals:
    void change();

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    QString m_path;
    QString m_driveRoot = QStringLiteral("/");
};

// The regular files of one folder whose names match the pattern.
class FileListBox : public QListWidget
{
    Q_OBJECT
    Q_PROPERTY(QString path READ path WRITE setPath NOTIFY pathChange)
    Q_PROPERTY(QString pattern READ pattern WRITE setPattern)
    Q_PROPERTY(QString fileName READ fileName)

public:
    explicit FileListBox(QWidget *parent = nullptr);

    QString path() const { return m_path; }
    void setPath(const QString &p);
    // Semicolon-separated wildcards, matched without regard to case.
    QString pattern() const { return m_pattern; }
    void setPattern(const QString &pattern);
    // The name picked by the user and still highlighted, empty when none.
    QString fileName() const { return m_fileName; }
    // Does what a click on that name in the list does.
    void pickFile(const QString &name);
    bool matches(const QString &name) const;

public slots:
    void refresh();

signals:
    void pathChange();
    void click();
    // The highlight went (a click in the list's empty part, Ctrl+click):
    // nothing is picked any more.
    void pickCleared();

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void followSelection();

    bool m_refilling = false;
    QString m_path;
    QString m_pattern = QStringLiteral("*.*");
    QList<QRegularExpression> m_filters; // empty: every name matches
    QString m_fileName;
};

} // namespace tavrel
