#include "windows/file_lists.h"

#include "windows/night.h"

#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QScopedValueRollback>
#include <QSet>
#include <QStorageInfo>
#include <QStyle>
#include <QStyledItemDelegate>

#include <algorithm>

namespace tavrel {

namespace {

// True when path is root itself or lies below it; "/usr" is not below "/u".
bool isUnder(const QString &path, const QString &root)
{
    if (root == QLatin1String("/"))
        return path.startsWith(QLatin1Char('/'));
    return path == root || path.startsWith(root + QLatin1Char('/'));
}

void sortCaseInsensitive(QStringList &names)
{
    std::sort(names.begin(), names.end(), [](const QString &a, const QString &b) {
        const int c = QString::compare(a, b, Qt::CaseInsensitive);
        return c != 0 ? c < 0 : a < b; // stable order for names differing only by case
    });
}

} // namespace

// ---------------------------------------------------------------- DriveListBox

namespace {

// Kernel and memory file systems: nothing a user keeps photos or scenarios on.
bool isPseudoVolume(const QStorageInfo &volume)
{
    static const QSet<QByteArray> pseudoTypes = {
        "proc", "sysfs", "devtmpfs", "devpts", "tmpfs", "ramfs", "cgroup", "cgroup2",
        "securityfs", "debugfs", "tracefs", "pstore", "bpf", "configfs", "fusectl",
        "mqueue", "hugetlbfs", "autofs", "binfmt_misc", "efivarfs", "rpc_pipefs",
        "nsfs", "selinuxfs", "squashfs", "overlay", "fuse.gvfsd-fuse", "fuse.portal",
        "fuse.snapfuse", "fuse.lxcfs",
    };
    const QString root = volume.rootPath();
    if (root == QLatin1String("/"))
        return false;
    if (pseudoTypes.contains(volume.fileSystemType()))
        return true;
    for (const char *system : {"/proc", "/sys", "/dev", "/snap", "/boot/efi"}) {
        if (isUnder(root, QLatin1String(system)))
            return true;
    }
    // /run holds runtime state, except where desktops mount removable media.
    return isUnder(root, QStringLiteral("/run")) && !isUnder(root, QStringLiteral("/run/media"));
}

} // namespace

DriveListBox::DriveListBox(QWidget *parent) : QComboBox(parent)
{
    refresh();
    m_lastDrive = drive();
    connect(this, &QComboBox::currentIndexChanged, this, &DriveListBox::emitIfChanged);
}

QString DriveListBox::drive() const
{
    return currentData().toString();
}

QStringList DriveListBox::drives() const
{
    QStringList roots;
    for (int i = 0; i < count(); ++i)
        roots << itemData(i).toString();
    return roots;
}

void DriveListBox::refresh()
{
    QStringList roots;
    QHash<QString, QString> labels;
    for (const QStorageInfo &volume : QStorageInfo::mountedVolumes()) {
        if (!volume.isValid() || !volume.isReady() || isPseudoVolume(volume))
            continue;
        roots << volume.rootPath();
        labels.insert(volume.rootPath(), volume.name());
    }
    fill(roots, labels);
}

void DriveListBox::setDriveRoots(const QStringList &roots)
{
    fill(roots, {});
}

void DriveListBox::fill(QStringList roots, const QHash<QString, QString> &labels)
{
    const QString previous = drive();
    for (QString &root : roots)
        root = QDir::cleanPath(root);
    roots.removeAll(QStringLiteral("/"));
    std::sort(roots.begin(), roots.end());
    // The same root can be mounted more than once (bind or stacked mounts).
    roots.erase(std::unique(roots.begin(), roots.end()), roots.end());
    roots.removeAll(QString());
    roots.prepend(QStringLiteral("/"));

    {
        const QSignalBlocker blocker(this);
        clear();
        for (const QString &root : std::as_const(roots)) {
            const QString label = labels.value(root);
            addItem(label.isEmpty() ? root : QStringLiteral("%1  [%2]").arg(root, label), root);
        }
        const int keep = findData(previous);
        setCurrentIndex(keep >= 0 ? keep : 0);
    }
    emitIfChanged();
}

void DriveListBox::setDrive(const QString &text)
{
    const QString wanted = text.trimmed();
    if (!wanted.startsWith(QLatin1Char('/')))
        return; // "c:" and other names of no mounted volume
    const QString path = QDir::cleanPath(wanted);
    int best = -1;
    qsizetype bestLength = -1;
    for (int i = 0; i < count(); ++i) {
        const QString root = itemData(i).toString();
        if (isUnder(path, root) && root.size() > bestLength) {
            best = i;
            bestLength = root.size();
        }
    }
    if (best >= 0)
        setCurrentIndex(best); // change() follows through currentIndexChanged
}

void DriveListBox::emitIfChanged()
{
    const QString current = drive();
    if (current == m_lastDrive)
        return;
    m_lastDrive = current;
    emit change();
}

// ---------------------------------------------------------------- DirListBox

namespace {

constexpr int PathRole = Qt::UserRole;
constexpr int LevelRole = Qt::UserRole + 1;
constexpr int IndentStep = 10;

// Indents each row by its depth in the folder tree.
class IndentDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override
    {
        QStyleOptionViewItem shifted = option;
        shifted.rect.adjust(index.data(LevelRole).toInt() * IndentStep, 0, 0, 0);
        QStyledItemDelegate::paint(painter, shifted, index);
    }

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        size.rwidth() += index.data(LevelRole).toInt() * IndentStep;
        return size;
    }
};

} // namespace

DirListBox::DirListBox(QWidget *parent) : QListWidget(parent)
{
    setItemDelegate(new IndentDelegate(this));
    setIconSize(QSize(16, 16));
    setSelectionMode(QAbstractItemView::SingleSelection);
    connect(this, &QListWidget::itemDoubleClicked, this, [this](QListWidgetItem *item) {
        // Rebuilding the list inside the view's own double-click handling
        // would pull the item out from under it; move on once it is done.
        const QString target = item->data(PathRole).toString();
        QMetaObject::invokeMethod(this, [this, target] { setPath(target); }, Qt::QueuedConnection);
    });
    m_path = QDir::cleanPath(QDir::currentPath());
    refresh();
}

bool DirListBox::namesADriveRoot(const QString &p)
{
    // "\", "c:", "c:\" and "c:/" all name the root of the current drive;
    // a plain "/" stays the file system root.
    static const QRegularExpression windowsRoot(QStringLiteral("^(?:\\\\|[A-Za-z]:[\\\\/]?)$"));
    return windowsRoot.match(p.trimmed()).hasMatch();
}

QString DirListBox::resolve(const QString &p) const
{
    const QString trimmed = p.trimmed();
    if (trimmed.isEmpty())
        return {};
    if (namesADriveRoot(trimmed))
        return QDir::cleanPath(m_driveRoot);
    if (p.startsWith(QLatin1Char('\\'))) {
        // A Windows path from the root of the drive, as older settings hold.
        QString rest = p.mid(1);
        rest.replace(QLatin1Char('\\'), QLatin1Char('/'));
        return QDir::cleanPath(m_driveRoot + QLatin1Char('/') + rest);
    }
    const QString base = m_path.isEmpty() ? QDir::currentPath() : m_path;
    return QDir::cleanPath(QDir(base).absoluteFilePath(p));
}

bool DirListBox::setPath(const QString &p)
{
    const QString target = resolve(p);
    if (target.isEmpty())
        return false;
    const QFileInfo info(target);
    // A folder must be readable to list and searchable to look into.
    if (!info.isDir() || !info.isReadable() || !info.isExecutable())
        return false;
    const bool changed = target != m_path;
    m_path = target;
    refresh();
    if (changed)
        emit change();
    return true;
}

void DirListBox::setDriveRoot(const QString &root)
{
    const QString cleaned = root.isEmpty() ? QStringLiteral("/") : QDir::cleanPath(root);
    if (cleaned == m_driveRoot)
        return;
    m_driveRoot = cleaned;
    refresh();
}

QString DirListBox::folderAt(int row) const
{
    const QListWidgetItem *entry = item(row);
    return entry ? entry->data(PathRole).toString() : QString();
}

void DirListBox::refresh()
{
    clear();
    if (m_path.isEmpty())
        return;
    // The style's folders are yellow and blue: at night, drawn in red, and
    // greyed during a run in a darker red, not the style's grey.
    const auto folderIcon = [this](QStyle::StandardPixmap which) {
        const QIcon icon = style()->standardIcon(which, nullptr, this);
        if (!nightVision())
            return icon;
        const QImage image = icon.pixmap(iconSize().isValid() ? iconSize() : QSize(16, 16)).toImage();
        const QPixmap red = QPixmap::fromImage(nightImage(image));
        const QPixmap dim = QPixmap::fromImage(nightImage(image, 90));
        QIcon night;
        for (QIcon::Mode mode : {QIcon::Normal, QIcon::Active, QIcon::Selected})
            night.addPixmap(red, mode);
        night.addPixmap(dim, QIcon::Disabled);
        return night;
    };
    const QIcon openIcon = folderIcon(QStyle::SP_DirOpenIcon);
    const QIcon closedIcon = folderIcon(QStyle::SP_DirClosedIcon);

    // The chain starts at the drive root when the folder is on that drive.
    const QString top = isUnder(m_path, m_driveRoot) ? m_driveRoot : QStringLiteral("/");
    QStringList chain{top};
    const QString below = m_path.mid(top.size());
    for (const QString &name : below.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        const QString &parentPath = chain.constLast();
        chain << (parentPath.endsWith(QLatin1Char('/')) ? parentPath + name
                                                        : parentPath + QLatin1Char('/') + name);
    }

    int level = 0;
    QListWidgetItem *current = nullptr;
    for (const QString &folder : std::as_const(chain)) {
        const QString text = level == 0 ? folder : QFileInfo(folder).fileName();
        current = new QListWidgetItem(openIcon, text, this);
        current->setData(PathRole, folder);
        current->setData(LevelRole, level);
        ++level;
    }

    QStringList subFolders = QDir(m_path).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::NoSort);
    sortCaseInsensitive(subFolders);
    for (const QString &name : std::as_const(subFolders)) {
        auto *entry = new QListWidgetItem(closedIcon, name, this);
        entry->setData(PathRole, QDir(m_path).filePath(name));
        entry->setData(LevelRole, level);
    }
    setCurrentItem(current);
}

void DirListBox::keyPressEvent(QKeyEvent *event)
{
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && currentItem()) {
        setPath(currentItem()->data(PathRole).toString());
        return;
    }
    QListWidget::keyPressEvent(event);
}

// ---------------------------------------------------------------- FileListBox

FileListBox::FileListBox(QWidget *parent) : QListWidget(parent)
{
    setSelectionMode(QAbstractItemView::SingleSelection);
    connect(this, &QListWidget::itemClicked, this,
            [this](QListWidgetItem *item) { pickFile(item->text()); });
    // The highlight is what Start runs: when the view takes it away, the
    // pick goes with it.
    connect(this, &QListWidget::itemSelectionChanged, this, &FileListBox::followSelection);
}

void FileListBox::followSelection()
{
    if (m_refilling || m_fileName.isEmpty() || !selectedItems().isEmpty())
        return;
    m_fileName.clear();
    emit pickCleared();
}

void FileListBox::setPath(const QString &p)
{
    const QString target = p.isEmpty() ? QString() : QDir::cleanPath(QDir(p).absolutePath());
    const bool changed = target != m_path;
    m_path = target;
    if (changed)
        m_fileName.clear(); // a name picked elsewhere means nothing here
    refresh();
    if (changed)
        emit pathChange();
}

void FileListBox::setPattern(const QString &pattern)
{
    m_pattern = pattern;
    m_filters.clear();
    bool everything = false;
    for (const QString &part : pattern.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QString wildcard = part.trimmed();
        // "*.*" lists every file, those without an extension too.
        if (wildcard == QLatin1String("*.*") || wildcard == QLatin1String("*"))
            everything = true;
        else if (!wildcard.isEmpty())
            m_filters << QRegularExpression(QRegularExpression::wildcardToRegularExpression(wildcard),
                                            QRegularExpression::CaseInsensitiveOption);
    }
    if (everything)
        m_filters.clear();
    refresh();
}

bool FileListBox::matches(const QString &name) const
{
    if (m_filters.isEmpty())
        return true;
    return std::any_of(m_filters.cbegin(), m_filters.cend(),
                       [&name](const QRegularExpression &re) { return re.match(name).hasMatch(); });
}

void FileListBox::refresh()
{
    // Emptied and filled again, the list keeps the pick it can find.
    const QScopedValueRollback refilling(m_refilling, true);
    clear();
    QStringList names;
    if (!m_path.isEmpty()) {
        for (const QString &name : QDir(m_path).entryList(QDir::Files, QDir::NoSort)) {
            if (matches(name))
                names << name;
        }
    }
    sortCaseInsensitive(names);
    addItems(names);
    if (m_fileName.isEmpty())
        return;
    const QList<QListWidgetItem *> found = findItems(m_fileName, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (found.isEmpty())
        m_fileName.clear();
    else
        setCurrentItem(found.constFirst());
}

void FileListBox::pickFile(const QString &name)
{
    const QList<QListWidgetItem *> found = findItems(name, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (found.isEmpty())
        return;
    setCurrentItem(found.constFirst());
    m_fileName = name;
    emit click();
}

void FileListBox::keyPressEvent(QKeyEvent *event)
{
    QListWidget::keyPressEvent(event);
    // Moving through the list with the keys picks, as a click does.
    if (currentItem() && currentItem()->isSelected() && currentItem()->text() != m_fileName)
        pickFile(currentItem()->text());
}

} // namespace tavrel
