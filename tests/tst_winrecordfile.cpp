#include "config/portfile.h"
#include "config/recordfile.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <windows.h>

// How Windows opens the port number file: what is made of a missing file, a
// folder or a file with a second name in its place, and a read of a missing
// file. Run under Wine by scripts/windows-check.
class TestWinRecordFile : public QObject {
    Q_OBJECT

private slots:
    void open_data() {
        QTest::addColumn<QString>("before"); // "missing", "file", "folder" or "two names"
        QTest::addColumn<bool>("readOnly");
        QTest::addColumn<QString>("after"); // what is there then, or why not
        QTest::newRow("missing: created empty") << "missing" << false << "0 bytes";
        QTest::newRow("missing, read only: not created")
            << "missing" << true << "cannot read; missing";
        QTest::newRow("kept as it was") << "file" << false << "12 bytes";
        QTest::newRow("a folder: refused") << "folder" << false << "not a regular file";
        QTest::newRow("a second name: refused")
            << "two names" << false << "a file with more than one name (hard links)";
    }
    void open() {
        QFETCH(QString, before);
        QFETCH(bool, readOnly);
        QFETCH(QString, after);
        const QTemporaryDir dir;
        QFile file(portFilePath(dir.path()));
        if (before == "folder") {
            QVERIFY(QDir().mkpath(file.fileName()));
        } else if (before != "missing") {
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write("3         xy") == 12);
            file.close();
        }
        if (before == "two names") {
            const std::wstring other =
                QDir::toNativeSeparators(dir.filePath("other.txt")).toStdWString();
            const std::wstring name = QDir::toNativeSeparators(file.fileName()).toStdWString();
            QVERIFY(CreateHardLinkW(other.c_str(), name.c_str(), nullptr));
        }
        QString seen;
        try {
            openRecordFile(file, readOnly ? RecordAccess::ReadOnly : RecordAccess::ReadWrite);
            seen = QStringLiteral("%1 bytes").arg(file.size());
        } catch (const PortFileError& e) {
            const QString why = QString::fromStdString(e.what());
            seen = why.section(QStringLiteral(": "), -1);
            if (why.startsWith(QStringLiteral("cannot read ")))
                seen = QStringLiteral("cannot read; %1")
                           .arg(QFile::exists(file.fileName()) ? "there" : "missing");
        }
        QCOMPARE(seen, after);
    }
};

QTEST_GUILESS_MAIN(TestWinRecordFile)
#include "tst_winrecordfile.moc"
