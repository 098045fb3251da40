#include "windows/controls.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

using namespace tavrel;

namespace {

bool touch(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly);
}

QStringList texts(const QListWidget &list)
{
    QStringList result;
    for (int i = 0; i < list.count(); ++i)
        result << list.item(i)->text();
    return result;
}

} // namespace

class TestControls : public QObject
{
    Q_OBJECT

private slots:
    void colours_data();
    void colours();

    void upDownSteps_data();
    void upDownSteps();
    void upDownRemembersLastWrittenValue();
    void upDownInputs_data();
    void upDownInputs();

    void shapeWidthKeepsLeftEdge();
    void shapePainting_data();
    void shapePainting();

    void driveMountedVolumes();
    void driveSetDrive_data();
    void driveSetDrive();
    void driveUserPickEmits();

    void dirSetPath_data();
    void dirSetPath();
    void dirListing();
    void dirActivation();

    void filePattern_data();
    void filePattern();
    void filePathChange();
    void filePick();
};

// ------------------------------------------------------------ colours

void TestControls::colours_data()
{
    QTest::addColumn<int>("bgr");
    QTest::addColumn<QColor>("color");
    QTest::newRow("red") << 255 << QColor(255, 0, 0);
    QTest::newRow("green") << 65280 << QColor(0, 255, 0);
    QTest::newRow("blue") << 0xFF0000 << QColor(0, 0, 255);
    QTest::newRow("dark red") << 192 << QColor(192, 0, 0);
    QTest::newRow("salmon") << (255 | 128 << 8 | 128 << 16) << QColor(255, 128, 128);
}

void TestControls::colours()
{
    QFETCH(int, bgr);
    QFETCH(QColor, color);
    QCOMPARE(colorFromBgr(bgr), color);
    QCOMPARE(bgrFromColor(color), bgr);
    Shape shape;
    shape.setFillBgr(bgr);
    QCOMPARE(shape.fillColor(), color);
    QCOMPARE(shape.fillBgr(), bgr);
}

// ------------------------------------------------------------ UpDown

void TestControls::upDownSteps_data()
{
    QTest::addColumn<int>("minimum");
    QTest::addColumn<int>("maximum");
    QTest::addColumn<int>("increment");
    QTest::addColumn<QString>("start");
    QTest::addColumn<bool>("up");
    QTest::addColumn<QString>("expected");

    QTest::newRow("up from 1") << 1 << 3600 << 1 << "1" << true << "2";
    QTest::newRow("down from 2") << 1 << 3600 << 1 << "2" << false << "1";
    QTest::newRow("up at max") << 1 << 1000 << 1 << "1000" << true << "1000";
    QTest::newRow("down at min 0") << 0 << 30 << 1 << "0" << false << "0";
    QTest::newRow("down at min 1") << 1 << 1000 << 1 << "1" << false << "1";
    QTest::newRow("increment stops at max") << 1 << 3600 << 5 << "3598" << true << "3600";
    QTest::newRow("increment stops at min") << 1 << 3600 << 5 << "3" << false << "1";
    QTest::newRow("typed above max, down") << 1 << 3600 << 1 << "5000" << false << "3600";
    QTest::newRow("typed below min, up") << 1 << 3600 << 1 << "-7" << true << "1";
    QTest::newRow("spaces around") << 1 << 3600 << 1 << " 7 " << true << "8";
    QTest::newRow("letters, up from min") << 1 << 1000 << 1 << "abc" << true << "2";
    QTest::newRow("letters, down stays min") << 0 << 30 << 1 << "abc" << false << "0";
    QTest::newRow("decimal is not whole") << 1 << 3600 << 1 << "1.5" << true << "2";
    QTest::newRow("empty") << 0 << 30 << 1 << "" << true << "1";
}

void TestControls::upDownSteps()
{
    QFETCH(int, minimum);
    QFETCH(int, maximum);
    QFETCH(int, increment);
    QFETCH(QString, start);
    QFETCH(bool, up);
    QFETCH(QString, expected);

    QWidget window;
    // Created before its buddy, as a window built from a .ui may do.
    auto *spin = new UpDown(&window);
    spin->setBuddyName(QStringLiteral("Pose"));
    spin->setMinimum(minimum);
    spin->setMaximum(maximum);
    spin->setIncrement(increment);
    auto *other = new QLineEdit(QStringLiteral("42"), &window);
    other->setObjectName(QStringLiteral("Other"));
    auto *edit = new QLineEdit(start, &window);
    edit->setObjectName(QStringLiteral("Pose"));

    up ? spin->stepUp() : spin->stepDown();
    QCOMPARE(edit->text(), expected);
    QCOMPARE(other->text(), QStringLiteral("42"));
}

void TestControls::upDownRemembersLastWrittenValue()
{
    QWidget window;
    auto *edit = new QLineEdit(QStringLiteral("5"), &window);
    edit->setObjectName(QStringLiteral("Nb_Poses"));
    auto *spin = new UpDown(&window);
    spin->setBuddyName(QStringLiteral("Nb_Poses"));
    spin->setMinimum(1);
    spin->setMaximum(1000);
    spin->setIncrement(1);

    spin->stepUp();
    QCOMPARE(edit->text(), QStringLiteral("6"));
    edit->setText(QStringLiteral("six"));
    spin->stepUp();
    QCOMPARE(edit->text(), QStringLiteral("7"));
    edit->setText(QString());
    spin->stepDown();
    QCOMPARE(edit->text(), QStringLiteral("6"));
}

void TestControls::upDownInputs_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");
    QTest::newRow("up button") << "upButton" << "11";
    QTest::newRow("down button") << "downButton" << "9";
    QTest::newRow("up key") << "Key_Up" << "11";
    QTest::newRow("down key") << "Key_Down" << "9";
}

void TestControls::upDownInputs()
{
    QFETCH(QString, input);
    QFETCH(QString, expected);

    QWidget window;
    auto *edit = new QLineEdit(QStringLiteral("10"), &window);
    edit->setObjectName(QStringLiteral("Relevage"));
    auto *spin = new UpDown(&window);
    spin->setGeometry(0, 30, 16, 25);
    window.show(); // the arrows are placed once the control has its size
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    spin->setBuddyName(QStringLiteral("Relevage"));
    spin->setMinimum(0);
    spin->setMaximum(30);
    spin->setIncrement(1);

    QVERIFY(spin->upButton() && spin->downButton());
    // The arrows split the control between them, up above down.
    QVERIFY(spin->upButton()->geometry().bottom() < spin->downButton()->geometry().top());
    QCOMPARE(spin->upButton()->height() + spin->downButton()->height(), spin->height());

    if (input == QLatin1String("upButton"))
        QTest::mouseClick(spin->upButton(), Qt::LeftButton);
    else if (input == QLatin1String("downButton"))
        QTest::mouseClick(spin->downButton(), Qt::LeftButton);
    else
        QTest::keyClick(spin, input == QLatin1String("Key_Up") ? Qt::Key_Up : Qt::Key_Down);
    QCOMPARE(edit->text(), expected);
}

// ------------------------------------------------------------ Shape

void TestControls::shapeWidthKeepsLeftEdge()
{
    QWidget window;
    auto *bar = new Shape(&window);
    bar->setGeometry(16, 152, 201, 17);
    for (int width : {0, 50, 201, 120}) {
        bar->setShapeWidth(width);
        QCOMPARE(bar->geometry(), QRect(16, 152, width, 17));
    }
}

void TestControls::shapePainting_data()
{
    QTest::addColumn<int>("fillStyle");
    QTest::addColumn<int>("borderWidth");
    QTest::addColumn<bool>("round");
    QTest::addColumn<QPoint>("point");
    QTest::addColumn<QColor>("expected");

    const QColor dark(192, 0, 0), red(255, 0, 0), blue(0, 0, 255);
    // The shape lies at (10, 10) in a blue window and measures 25 x 25.
    QTest::newRow("solid centre") << 0 << 3 << false << QPoint(22, 22) << red;
    QTest::newRow("solid outline") << 0 << 3 << false << QPoint(12, 22) << dark;
    QTest::newRow("transparent centre") << 1 << 1 << false << QPoint(22, 22) << blue;
    QTest::newRow("transparent 1px outline") << 1 << 1 << false << QPoint(10, 10) << dark;
    QTest::newRow("transparent inside 1px outline") << 1 << 1 << false << QPoint(11, 11) << blue;
    QTest::newRow("round leaves corners") << 0 << 3 << true << QPoint(10, 10) << blue;
    QTest::newRow("round centre") << 0 << 3 << true << QPoint(22, 22) << red;
    QTest::newRow("outside the shape") << 0 << 3 << false << QPoint(5, 5) << blue;
}

void TestControls::shapePainting()
{
    QFETCH(int, fillStyle);
    QFETCH(int, borderWidth);
    QFETCH(bool, round);
    QFETCH(QPoint, point);
    QFETCH(QColor, expected);

    QWidget window;
    window.resize(50, 50);
    QPalette palette = window.palette();
    palette.setColor(QPalette::Window, Qt::blue);
    window.setPalette(palette);
    window.setAutoFillBackground(true);
    auto *shape = new Shape(&window);
    shape->setGeometry(10, 10, 25, 25);
    shape->setFillColor(QColor(255, 0, 0));
    shape->setFillStyle(fillStyle);
    shape->setBorderWidth(borderWidth);
    shape->setRound(round);

    const QImage image = window.grab().toImage();
    QCOMPARE(image.pixelColor(point), expected);
}

// ------------------------------------------------------------ DriveListBox

void TestControls::driveMountedVolumes()
{
    DriveListBox box;
    const QStringList drives = box.drives();
    QVERIFY(!drives.isEmpty());
    QCOMPARE(drives.first(), QStringLiteral("/"));
    QCOMPARE(box.currentIndex(), 0);
    QCOMPARE(box.drive(), QStringLiteral("/"));
    QCOMPARE(QSet<QString>(drives.begin(), drives.end()).size(), drives.size());
    for (const QString &root : drives) {
        QVERIFY2(!root.startsWith(QLatin1String("/proc")) && !root.startsWith(QLatin1String("/sys"))
                     && !root.startsWith(QLatin1String("/dev")),
                 qPrintable(root));
    }

    // A text naming no volume leaves the list on its first entry, quietly.
    QSignalSpy changes(&box, &DriveListBox::change);
    box.setDrive(QStringLiteral("c:"));
    QCOMPARE(box.currentIndex(), 0);
    box.setDrive(QStringLiteral("/tavrel-not-a-mount/photos"));
    QCOMPARE(box.drive(), QStringLiteral("/"));
    QCOMPARE(changes.count(), 0);
}

void TestControls::driveSetDrive_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("changes");

    QTest::newRow("windows drive") << "/media/usb" << "c:" << "/media/usb" << 0;
    QTest::newRow("windows path") << "/" << "C:\\photos" << "/" << 0;
    QTest::newRow("empty") << "/mnt/a" << "" << "/mnt/a" << 0;
    QTest::newRow("folder on a volume") << "/" << "/media/usb/photos/night" << "/media/usb" << 1;
    QTest::newRow("volume root") << "/" << "/media/usb2" << "/media/usb2" << 1;
    QTest::newRow("trailing slash") << "/" << "/media/usb/" << "/media/usb" << 1;
    QTest::newRow("longest prefix wins") << "/media/usb" << "/media/usb2/x" << "/media/usb2" << 1;
    QTest::newRow("name prefix is not a folder prefix") << "/media/usb" << "/media/usbx/y" << "/" << 1;
    QTest::newRow("folder under root") << "/mnt/a" << "/home/me" << "/" << 1;
    QTest::newRow("same volume again") << "/media/usb" << "/media/usb/other" << "/media/usb" << 0;
}

void TestControls::driveSetDrive()
{
    QFETCH(QString, from);
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QFETCH(int, changes);

    DriveListBox box;
    box.setDriveRoots({QStringLiteral("/mnt/a"), QStringLiteral("/media/usb2"), QStringLiteral("/media/usb"),
                       QStringLiteral("/media/usb")});
    QCOMPARE(box.drives(), QStringList({"/", "/media/usb", "/media/usb2", "/mnt/a"}));
    box.setDrive(from);
    QCOMPARE(box.drive(), from);

    QSignalSpy spy(&box, &DriveListBox::change);
    box.setDrive(text);
    QCOMPARE(box.drive(), expected);
    QCOMPARE(spy.count(), changes);
}

void TestControls::driveUserPickEmits()
{
    DriveListBox box;
    box.setDriveRoots({QStringLiteral("/media/usb")});
    QSignalSpy spy(&box, &DriveListBox::change);
    box.setCurrentIndex(1); // what a pick in the drop-down does
    QCOMPARE(spy.count(), 1);
    QCOMPARE(box.drive(), QStringLiteral("/media/usb"));

    // Scanning again with the selection still there changes nothing.
    box.setDriveRoots({QStringLiteral("/mnt/b"), QStringLiteral("/media/usb")});
    QCOMPARE(box.drive(), QStringLiteral("/media/usb"));
    QCOMPARE(spy.count(), 1);

    // The selected volume goes away: the list falls back to "/" and says so.
    box.setDriveRoots({});
    QCOMPARE(box.drive(), QStringLiteral("/"));
    QCOMPARE(spy.count(), 2);
}

// ------------------------------------------------------------ DirListBox

void TestControls::dirSetPath_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("expected"); // relative to the drive root
    QTest::addColumn<int>("changes");

    QTest::newRow("backslash") << "\\" << true << "" << 1;
    QTest::newRow("c:") << "c:" << true << "" << 1;
    QTest::newRow("C:\\") << "C:\\" << true << "" << 1;
    QTest::newRow("windows path from root") << "\\gamma" << true << "/gamma" << 1;
    QTest::newRow("same folder") << "$ROOT/beta" << true << "/beta" << 0;
    QTest::newRow("same folder, trailing slash") << "$ROOT/beta/" << true << "/beta" << 0;
    QTest::newRow("other folder") << "$ROOT/Alpha" << true << "/Alpha" << 1;
    QTest::newRow("relative") << "../gamma" << true << "/gamma" << 1;
    QTest::newRow("missing folder") << "$ROOT/missing" << false << "/beta" << 0;
    QTest::newRow("a file") << "$ROOT/f.txt" << false << "/beta" << 0;
    QTest::newRow("empty") << "" << false << "/beta" << 0;
}

void TestControls::dirSetPath()
{
    QFETCH(QString, input);
    QFETCH(bool, accepted);
    QFETCH(QString, expected);
    QFETCH(int, changes);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString root = QDir::cleanPath(tmp.path());
    for (const char *name : {"Alpha", "beta", "gamma"})
        QVERIFY(QDir(root).mkdir(QLatin1String(name)));
    QVERIFY(touch(root + "/f.txt"));

    DirListBox box;
    box.setDriveRoot(root);
    QVERIFY(box.setPath(root + "/beta"));
    QSignalSpy spy(&box, &DirListBox::change);
    QCOMPARE(box.setPath(input.replace(QLatin1String("$ROOT"), root)), accepted);
    QCOMPARE(box.path(), root + expected);
    QCOMPARE(spy.count(), changes);
}

void TestControls::dirListing()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString root = QDir::cleanPath(tmp.path());
    for (const char *name : {"photos", "photos/beta", "photos/Delta", "photos/Alpha", "photos/gamma",
                             "photos/epsilon", "photos/.cache"})
        QVERIFY(QDir(root).mkdir(QLatin1String(name)));
    QVERIFY(touch(root + "/photos/aardvark.txt"));

    DirListBox box;
    box.setDriveRoot(root);
    QVERIFY(box.setPath(root + "/photos"));
    // Ancestors from the drive root down, then the sub-folders in name order
    // regardless of case, without hidden folders or files.
    QCOMPARE(texts(box), QStringList({root, "photos", "Alpha", "beta", "Delta", "epsilon", "gamma"}));
    QCOMPARE(box.folderAt(0), root);
    QCOMPARE(box.folderAt(1), root + "/photos");
    QCOMPARE(box.folderAt(3), root + "/photos/beta");
    QCOMPARE(box.currentRow(), 1);

    // Outside the drive root, the chain starts at the file system root.
    box.setDriveRoot(root + "/photos/gamma");
    QCOMPARE(box.item(0)->text(), QStringLiteral("/"));
    QCOMPARE(box.folderAt(box.currentRow()), root + "/photos");
    QCOMPARE(box.item(box.count() - 1)->text(), QStringLiteral("gamma"));
}

void TestControls::dirActivation()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString root = QDir::cleanPath(tmp.path());
    for (const char *name : {"Alpha", "beta"})
        QVERIFY(QDir(root).mkdir(QLatin1String(name)));

    DirListBox box;
    box.resize(200, 150);
    box.setDriveRoot(root);
    QVERIFY(box.setPath(root));
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    QSignalSpy spy(&box, &DirListBox::change);

    // Enter opens the highlighted folder.
    box.setCurrentRow(2);
    QCOMPARE(box.folderAt(2), root + "/beta");
    QTest::keyClick(&box, Qt::Key_Return);
    QCOMPARE(box.path(), root + "/beta");
    QCOMPARE(spy.count(), 1);

    // A double-click on an ancestor goes back up.
    const QRect first = box.visualItemRect(box.item(0));
    // QTest sends a widget only the double-click itself; press first, as a
    // real mouse does.
    QTest::mouseClick(box.viewport(), Qt::LeftButton, {}, first.center());
    QTest::mouseDClick(box.viewport(), Qt::LeftButton, {}, first.center());
    QCOMPARE(spy.count(), 1); // the single click alone opens nothing
    QCoreApplication::processEvents();
    QCOMPARE(box.path(), root);
    QCOMPARE(spy.count(), 2);
}

// ------------------------------------------------------------ FileListBox

void TestControls::filePattern_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QStringList>("expected");
    // Sorted without regard to case: "B.TXT" between "a.txt" and "m.txt".
    QTest::newRow("*.txt") << "*.txt" << QStringList({"a.txt", "B.TXT", "m.txt", "Zeta.txt"});
    QTest::newRow("*.TXT") << "*.TXT" << QStringList({"a.txt", "B.TXT", "m.txt", "Zeta.txt"});
    QTest::newRow("*.* lists all")
        << "*.*" << QStringList({"a.txt", "B.TXT", "c.csv", "d.txt.bak", "m.txt", "README", "Zeta.txt"});
    QTest::newRow("two patterns") << "*.csv; *.txt" << QStringList({"a.txt", "B.TXT", "c.csv", "m.txt", "Zeta.txt"});
    QTest::newRow("question mark") << "?.txt.*" << QStringList({"d.txt.bak"});
    QTest::newRow("no match") << "*.jpg" << QStringList();
}

void TestControls::filePattern()
{
    QFETCH(QString, pattern);
    QFETCH(QStringList, expected);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    for (const char *name : {"Zeta.txt", "a.txt", "m.txt", "B.TXT", "c.csv", "d.txt.bak", "README", ".hidden.txt"})
        QVERIFY(touch(tmp.filePath(QLatin1String(name))));
    QVERIFY(QDir(tmp.path()).mkdir(QStringLiteral("x.txt")));

    FileListBox box;
    QCOMPARE(box.pattern(), QStringLiteral("*.*"));
    box.setPattern(pattern);
    box.setPath(tmp.path());
    QCOMPARE(texts(box), expected);
}

void TestControls::filePathChange()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QVERIFY(QDir(tmp.path()).mkdir(QStringLiteral("other")));
    QVERIFY(touch(tmp.filePath("other/night.txt")));

    FileListBox box;
    box.setPattern(QStringLiteral("*.txt"));
    QSignalSpy spy(&box, &FileListBox::pathChange);
    box.setPath(tmp.path());
    QCOMPARE(spy.count(), 1);
    box.setPath(tmp.path());
    box.setPath(tmp.path() + "/");
    QCOMPARE(spy.count(), 1);
    QCOMPARE(box.count(), 0);

    box.setPath(tmp.filePath("other"));
    QCOMPARE(spy.count(), 2);
    QCOMPARE(box.path(), QDir::cleanPath(tmp.filePath("other")));
    QCOMPARE(texts(box), QStringList({"night.txt"}));

    // refresh() shows files that appeared since.
    QVERIFY(touch(tmp.filePath("other/dawn.txt")));
    box.refresh();
    QCOMPARE(texts(box), QStringList({"dawn.txt", "night.txt"}));
}

void TestControls::filePick()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    for (const char *name : {"a.txt", "B.TXT"})
        QVERIFY(touch(tmp.filePath(QLatin1String(name))));
    QVERIFY(QDir(tmp.path()).mkdir(QStringLiteral("sub")));

    FileListBox box;
    box.resize(200, 150);
    box.setPattern(QStringLiteral("*.txt"));
    box.setPath(tmp.path());
    QSignalSpy clicks(&box, &FileListBox::click);
    QVERIFY(box.fileName().isEmpty());

    QString nameAtClick;
    connect(&box, &FileListBox::click, &box, [&] { nameAtClick = box.fileName(); });
    box.pickFile(QStringLiteral("B.TXT"));
    QCOMPARE(clicks.count(), 1);
    QCOMPARE(nameAtClick, QStringLiteral("B.TXT"));
    QCOMPARE(box.currentItem()->text(), QStringLiteral("B.TXT"));

    box.pickFile(QStringLiteral("missing.txt"));
    QCOMPARE(clicks.count(), 1);
    QCOMPARE(box.fileName(), QStringLiteral("B.TXT"));

    // A real click on the first row.
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    QTest::mouseClick(box.viewport(), Qt::LeftButton, {}, box.visualItemRect(box.item(0)).center());
    QCOMPARE(clicks.count(), 2);
    QCOMPARE(box.fileName(), QStringLiteral("a.txt"));

    // A name picked in one folder means nothing in another.
    box.setPath(tmp.filePath("sub"));
    QVERIFY(box.fileName().isEmpty());
}

QTEST_MAIN(TestControls)
#include "tst_controls.moc"
