#include "protocol/winserialrules.h"

#include <QTest>

#include <cstring>

// The Windows serial control's rules: the device control block a settings
// text gives, the reasons an open or a write failure gives, and what the
// system's names of ports and devices say. Run under Wine by
// scripts/windows-check.
class TestWinSerial : public QObject {
    Q_OBJECT

private slots:
    void lineFormat_data() {
        QTest::addColumn<QString>("settings");
        // BaudRate ByteSize Parity StopBits fParity, as the system numbers them.
        QTest::addColumn<QString>("block");
        QTest::newRow("the module's line") << "9600,n,8,2"
                                           << "9600 8 0 2 0";
        QTest::newRow("even, one stop bit") << "1200,e,7,1"
                                            << "1200 7 2 0 1";
        QTest::newRow("odd, one and a half") << "300,o,5,1.5"
                                             << "300 5 1 1 1";
        QTest::newRow("mark") << "115200,m,6,1"
                              << "115200 6 3 0 1";
        QTest::newRow("space") << "4800,s,8,2"
                               << "4800 8 4 2 1";
    }
    void lineFormat() {
        QFETCH(QString, settings);
        QFETCH(QString, block);
        DCB dcb;
        std::memset(&dcb, 0xff, sizeof(dcb)); // every field that matters is written
        WinSerialRules::describeLine(parseLineFormat(settings), dcb);
        QCOMPARE(QStringLiteral("%1 %2 %3 %4 %5")
                     .arg(dcb.BaudRate)
                     .arg(dcb.ByteSize)
                     .arg(dcb.Parity)
                     .arg(dcb.StopBits)
                     .arg(dcb.fParity),
                 block);
        // Binary, DTR and RTS on; no handshake of either kind, nothing
        // replaced or dropped, errors do not stop the transfer.
        const DWORD flags[] = {dcb.fOutxCtsFlow, dcb.fOutxDsrFlow, dcb.fDsrSensitivity,
                               dcb.fOutX,        dcb.fInX,         dcb.fErrorChar,
                               dcb.fNull,        dcb.fAbortOnError};
        QString off;
        for (const DWORD flag : flags)
            off += QString::number(flag);
        QCOMPARE(QStringLiteral("%1 %2 %3 %4")
                     .arg(dcb.fBinary)
                     .arg(dcb.fDtrControl)
                     .arg(dcb.fRtsControl)
                     .arg(off),
                 "1 1 1 00000000");
    }

    void openFailure_data() {
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<bool>("absent"); // the device is not there: it may come back
        QTest::newRow("file not found") << 2 << "no such device \\\\.\\COM3" << true;
        QTest::newRow("path not found") << 3 << "no such device \\\\.\\COM3" << true;
        QTest::newRow("access denied") << 5 << "\\\\.\\COM3 is in use by another program" << false;
        QTest::newRow("sharing violation")
            << 32 << "\\\\.\\COM3 is in use by another program" << false;
        QTest::newRow("device not functioning") << 31 << "cannot open \\\\.\\COM3: " << false;
    }
    void openFailure() {
        QFETCH(int, error);
        QFETCH(QString, reason);
        QFETCH(bool, absent);
        const WinSerialRules::OpenFailure given =
            WinSerialRules::openFailure(static_cast<DWORD>(error), QStringLiteral("\\\\.\\COM3"));
        if (reason.endsWith(u' ')) // and then the system's own words
            QVERIFY2(given.reason.startsWith(reason) && given.reason.size() > reason.size(),
                     qPrintable(given.reason));
        else
            QCOMPARE(given.reason, reason);
        QCOMPARE(given.kind == CommError::Kind::NoDevice, absent);
    }

    void writeFailure_data() {
        QTest::addColumn<int>("error");
        QTest::addColumn<int>("sent"); // of 5 bytes
        QTest::addColumn<QString>("reason");
        QTest::newRow("all sent") << 0 << 5 << "";
        QTest::newRow("none sent")
            << 0 << 0 << "cannot write to \\\\.\\COM3: 0 of 5 bytes sent within 1000 ms";
        QTest::newRow("one short")
            << 0 << 4 << "cannot write to \\\\.\\COM3: 4 of 5 bytes sent within 1000 ms";
        QTest::newRow("device not functioning") << 31 << 0 << "cannot write to \\\\.\\COM3: ";
        QTest::newRow("failed after some") << 22 << 3 << "cannot write to \\\\.\\COM3: ";
    }
    void writeFailure() {
        QFETCH(int, error);
        QFETCH(int, sent);
        QFETCH(QString, reason);
        const QString given = WinSerialRules::writeFailure(static_cast<DWORD>(error), 5, sent,
                                                           QStringLiteral("\\\\.\\COM3"));
        if (reason.endsWith(u' ')) // and then the system's own words
            QVERIFY2(given.startsWith(reason) && given.size() > reason.size(), qPrintable(given));
        else
            QCOMPARE(given, reason);
    }

    // Port names as the system lists them: COM1 to COM256, in any case.
    void comNumber_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("number");
        QTest::newRow("COM1") << "COM1" << 1;
        QTest::newRow("above 9") << "COM12" << 12;
        QTest::newRow("lower case") << "com203" << 203;
        QTest::newRow("the last") << "COM256" << 256;
        QTest::newRow("beyond") << "COM257" << 0;
        QTest::newRow("zero") << "COM0" << 0;
        QTest::newRow("leading zero") << "COM09" << 0;
        QTest::newRow("sign") << "COM+3" << 0;
        QTest::newRow("no number") << "COM" << 0;
        QTest::newRow("more after it") << "COM3x" << 0;
        QTest::newRow("a printer") << "LPT1" << 0;
    }
    void comNumber() {
        QFETCH(QString, name);
        QTEST(WinSerialRules::comNumber(name), "number");
    }

    // Instance IDs as Device Manager shows them under Details.
    void usbSerialNumber_data() {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("serial");
        QTest::newRow("USB adapter") << "USB\\VID_0403&PID_6001\\A10K1234"
                                     << "A10K1234";
        QTest::newRow("made up by the system") << "USB\\VID_067B&PID_2303\\5&2D0A1F3&0&2"
                                               << "";
        QTest::newRow("a driver's own bus") << "FTDIBUS\\VID_0403+PID_6001+A10K1234A\\0000"
                                            << "";
        QTest::newRow("built-in port") << "ACPI\\PNP0501\\1"
                                       << "";
    }
    void usbSerialNumber() {
        QFETCH(QString, id);
        QTEST(WinSerialRules::usbSerialNumber(id), "serial");
    }
};

QTEST_GUILESS_MAIN(TestWinSerial)
#include "tst_winserial.moc"
