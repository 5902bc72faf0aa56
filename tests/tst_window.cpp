#include "app/formcommunication.h"
#include "support/ptypeer.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMetaEnum>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocumentFragment>
#include <QTimer>
#include <QToolButton>

namespace {

// How long a check waits for what should take a moment. The checks wait for
// as many bytes as expected and then compare, so wrong bytes fail at once
// (QTRY_COMPARE would wait three times its timeout before it reports).
constexpr int Patience = 3000;

// Handles events until `done` holds or Patience has passed; the comparison
// that follows reports what is there.
template <typename Done> void soon(Done done) {
    static_cast<void>(QTest::qWaitFor(done, Patience));
}

// What the operator sees of a tooltip or message: rich text rendered.
QString shown(const QString& text) {
    return Qt::mightBeRichText(text) ? QTextDocumentFragment::fromHtml(text).toPlainText() : text;
}

struct Transaction {
    const char* button;
    int key;  // pressed on the button, or 0 for a click
    int rate; // the rate entry and the on-time before the click
    int onTime;
    QByteArray frame; // after the wake byte
    QByteArray reply;
    QString after; // the clock field, rate entry, on-time field and scroll bar
};

} // namespace

Q_DECLARE_METATYPE(Transaction)

// The window in process, on a pseudo-terminal linked as COM1 of a temporary
// program folder.
class TestWindow : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<PtyPeer> peer_;
    std::unique_ptr<FormCommunication> form_;

    template <typename T> T* child(const char* name) const { return form_->findChild<T*>(name); }
    bool busy() const { return child<QLabel>("LabelWait")->isVisibleTo(form_.get()); }
    void press(const char* button, int key) { // Enter: the keypad's
        const Qt::KeyboardModifier keypad =
            key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier;
        key ? QTest::keyClick(child<QToolButton>(button), Qt::Key(key), keypad)
            : child<QToolButton>(button)->click();
    }

private slots:
    void initTestCase() { FormCommunication::applyClassicLook(); }
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        peer_ = std::make_unique<PtyPeer>();
        QVERIFY(peer_->linkAs(dir_->path(), 1));
        form_ = std::make_unique<FormCommunication>(dir_->path());
        form_->Form_Load();
    }

    void transactions_data() {
        QTest::addColumn<Transaction>("transaction");
        const QByteArray garbage("\0\xff\x80zz\xfe,\xff\xff\r", 10);
        const auto row = [](const char* name, const Transaction& transaction) {
            QTest::newRow(name) << transaction;
        };
        const int Return = Qt::Key_Return, Enter = Qt::Key_Enter; // Enter: the keypad's
        row("clock read, Return", {"Command1", Return, 1, 100, "H\r", "T27-02-06T10.08.04\r",
                                   "27/02/06 10:08:04|1| 100|100"});
        row("clock set, keypad Enter, a Latin-1 letter",
            {"CMD13", Enter, 1, 100, "h\xE9\r", "", "é|1| 100|100"});
        row("schedule read, Return",
            {"Command6", Return, 1, 100, "B00\r", "SLOTS3,F0\r", "é|3| 240|240"});
        row("schedule read, rate 7", {"Command6", 0, 1, 100, "B00\r", "SLOTS7,0A\r", "é|1| 10|10"});
        row("schedule read, garbage", {"Command6", 0, 1, 100, "B00\r", garbage, "é|0|---|100"});
        row("schedule set, Return", {"CMDS34", Return, 1, 100, "f0164\r", "", "é|1| 100|100"});
        row("schedule set, no rate, 240 s", {"CMDS34", 0, -1, 240, "f00F0\r", "", "é|0|240|240"});
        row("schedule set, on-time below 1", {"CMDS34", 0, 1, 0, "f0101\r", "", "é|1| 1|1"});
    }
    void transactions() {
        QFETCH(Transaction, transaction);
        child<QLineEdit>("TextCMD13")->setText("é");
        child<QComboBox>("Combo1")->setCurrentIndex(transaction.rate);
        child<QScrollBar>("VScroll1")->setValue(transaction.onTime);
        QVERIFY(peer_->send("noise\r")); // an earlier reply, which a read clears
        soon([&] { return form_->receiveLog().size() >= 7; });
        QCOMPARE(form_->receiveLog(), "noise\r\n");
        bool busyInEventPass = false;
        QObject pass; // takes the timer along should the event pass not come
        QTimer::singleShot(0, &pass, [&] { busyInEventPass = busy(); });
        const auto pressed = std::chrono::steady_clock::now();
        press(transaction.button, transaction.key);
        QVERIFY(busyInEventPass);
        QVERIFY(!busy());

        // The wake byte alone, then the frame no sooner than a second later.
        // The far end stamps what it reads late, by as much as a loaded
        // machine delays its reader: the frame is timed from the press, which
        // comes before the wake byte.
        const QByteArray sent = "\x80" + transaction.frame;
        QVERIFY(peer_->waitForBytes(sent.size(), Patience));
        QCOMPARE(peer_->receivedBytes(), sent);
        const std::vector<PtyPeer::Received> chunks = peer_->received();
        QCOMPARE(chunks.front().bytes, "\x80");
        QVERIFY(chunks.at(1).at - pressed >= std::chrono::seconds(1));
        if (!transaction.reply.isEmpty()) {
            QVERIFY(peer_->send(transaction.reply));
            soon([&] { return form_->receiveLog().size() > transaction.reply.size(); });
            QCOMPARE(form_->receiveLog(), transaction.reply + '\n');
        }
        const QStringList after{child<QLineEdit>("TextCMD13")->text(),
                                QString::number(child<QComboBox>("Combo1")->currentIndex()),
                                child<QLineEdit>("Text3")->text(),
                                QString::number(child<QScrollBar>("VScroll1")->value())};
        QCOMPARE(after.join('|'), transaction.after);
    }

    void setPcTakesOneReadingOfTheClock() {
        // A click at midnight: a second reading would already be the next day.
        const QDateTime readings[] = {QDateTime(QDate(2026, 3, 9), QTime(23, 59, 59, 999)),
                                      QDateTime(QDate(2026, 3, 10), QTime(0, 0))};
        int taken = 0;
        form_->setClock([&] { return readings[std::min(taken++, 1)]; });
        press("CMD4", Qt::Key_Enter);
        QCOMPARE(child<QLineEdit>("TextCMD13")->text(), "26/03/09 23:59:59");
    }

    // Typed text selects the entry it equals, or none: "Set into" then sends
    // "00" rather than an entry the box no longer shows.
    void typedRateSelectsOnlyAnEqualEntry_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("entry");
        QTest::newRow("an entry") << "2   Hours" << 2;
        QTest::newRow("an entry's start") << "2" << -1;
        QTest::newRow("another case") << "2   HOURS" << -1;
    }
    void typedRateSelectsOnlyAnEqualEntry() {
        QFETCH(QString, typed);
        QFETCH(int, entry);
        auto* rate = child<QComboBox>("Combo1");
        rate->setCurrentIndex(3);
        rate->lineEdit()->selectAll();
        QTest::keyClicks(rate->lineEdit(), typed);
        QCOMPARE(rate->currentIndex(), entry);
        QCOMPARE(rate->currentText(), typed);
    }

    // The clock text goes out one byte per character.
    void clockFieldTakesOneByteCharacters_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("pasted");
        QTest::addColumn<QString>("shown");
        QTest::newRow("Latin-1") << "26/01/05" << QString::fromUtf8(" \xc3\xa9t\xc3\xa9")
                                 << QString::fromUtf8("26/01/05 \xc3\xa9t\xc3\xa9");
        QTest::newRow("beyond Latin-1") << QString::fromUtf8("\xe2\x82\xac \xd0\x96") << ""
                                        << " ";
        QTest::newRow("an eighteenth character") << "26/01/05 09:07:031"
                                                 << "2"
                                                 << "26/01/05 09:07:03";
        QTest::newRow("beyond the basic plane") << "26/01/05"
                                                << QString::fromUtf8(" \xf0\x9f\x98\x80"
                                                                     "09:07")
                                                << "26/01/05 09:07";
    }
    void clockFieldTakesOneByteCharacters() {
        QFETCH(QString, typed);
        QFETCH(QString, pasted);
        QFETCH(QString, shown);
        auto* clock = child<QLineEdit>("TextCMD13");
        clock->clear();
        for (const char32_t c : typed.toUcs4()) { // as a keyboard's input method delivers it
            QKeyEvent key(QEvent::KeyPress, 0, Qt::NoModifier, QString::fromUcs4(&c, 1));
            QCoreApplication::sendEvent(clock, &key);
        }
        clock->insert(pasted);
        QCOMPARE(clock->text(), shown);
    }

    // The adapter pulled and plugged in again: "Not valid" with the reason at
    // once, still looked for while its device is missing, then "Com 1" again
    // by itself, and a command reaches the new device.
    void lostPortComesBack() {
        auto* port = child<QLabel>("Label3(0)");
        QHelpEvent hover(QEvent::ToolTip, QPoint(1, 1), port->mapToGlobal(QPoint(1, 1)));
        QCoreApplication::sendEvent(port, &hover);
        QCOMPARE(shown(port->toolTip()), "COM1 is " + peer_->slavePath());
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^COM1: disconnected"));
        peer_->hangUp();
        // Its stable name now leads nowhere; the number of the pseudo-terminal
        // may soon be another test's.
        const QString link = dir_->filePath("COM1");
        QVERIFY(QFile::remove(link) && QFile::link(dir_->filePath("unplugged"), link));
        soon([&] { return port->text() == "Not valid"; });
        QCOMPARE(port->text(), "Not valid");
        QVERIFY2(shown(port->toolTip()).startsWith("COM1: disconnected"),
                 qPrintable(port->toolTip()));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^COM1: no such device"));
        soon([&] { return shown(port->toolTip()).startsWith("COM1: no such device"); });
        PtyPeer back;
        QVERIFY(back.linkAs(dir_->path(), 1));
        soon([&] { return port->text() == "Com 1"; });
        QCOMPARE(port->text(), "Com 1");
        child<QToolButton>("Command1")->click();
        QVERIFY(back.waitForBytes(3, Patience));
        QCOMPARE(back.receivedBytes(), "\x80H\r");
    }

    // What a screen reader finds, walking the tree from the window: each
    // control told apart by its name, and nothing of the hidden groups.
    void accessibilityTree_data() {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("found"); // name, description and role; empty: absent
        const std::pair<const char*, const char*> rows[] = {
            {"Label3(0)", "Port|Com 1|StaticText"},
            {"Label3(1)", "Speed||StaticText"},
            {"TextCMD13", "Module clock|yy/mm/dd hh:mm:ss|EditableText"},
            {"CMD4", "Fill in the computer's date and time||Button"},
            {"Command1", "Read the clock from the module|Read from Module|Button"},
            {"CMD13", "Set the module's clock|Set into Module|Button"},
            {"Combo1", "Rate||ComboBox"},
            {"Text3", "On-time in seconds||EditableText"},
            {"VScroll1", "On-time in seconds||ScrollBar"},
            {"Command6", "Read the schedule from the module||Button"},
            {"CMDS34", "Set the module's schedule||Button"},
            {"Exitm", "Exit||MenuItem"},
            {"Com title", "Com Port||MenuItem"},
            {"Comxm(3)", "Com3||MenuItem"}};
        for (const auto& [control, found] : rows)
            QTest::newRow(control) << control << found;
        for (const char* hidden : {"LabelWait", "Frame5", "Text1", "ClearTx", "Frame2", "Text2"})
            QTest::newRow(hidden) << hidden << "";
    }
    void accessibilityTree() {
        QFETCH(QString, control);
        QFETCH(QString, found);
        QMap<QString, QString> tree;
        std::function<void(QAccessibleInterface*)> walk = [&](QAccessibleInterface* node) {
            QString key = node->object() ? node->object()->objectName() : QString();
            if (auto* action = qobject_cast<QAction*>(node->object()); action && action->menu())
                key = action->menu()->objectName() + " title";
            // A blank name is made up from the first label, as screen readers
            // do; on Linux a combo box's name is its text.
            const auto labels = node->relations(QAccessible::Label);
            const QString name =
                node->text(QAccessible::Name).trimmed().isEmpty() && !labels.isEmpty()
                    ? labels.front().first->text(QAccessible::Name)
                    : node->text(QAccessible::Name);
            const QString role = QString::fromLatin1(
                QMetaEnum::fromType<QAccessible::Role>().valueToKey(node->role()));
            tree.insert(key,
                        QStringList{name, node->text(QAccessible::Description), role}.join('|'));
            for (int i = 0; i < node->childCount(); ++i)
                walk(node->child(i));
        };
        walk(QAccessible::queryAccessibleInterface(form_.get()));
        child<QMenu>("Com")->popup(QPoint()); // its items are in the tree while it is open
        walk(QAccessible::queryAccessibleInterface(child<QMenu>("Com")));
        child<QMenu>("Com")->hide();
        QCOMPARE(tree.value(control), found);
    }

    // Why the port is "Not valid", for a mouse, a keyboard and a screen reader
    // alike, exactly as the reason reads.
    void notValidTellsWhy_data() {
        QTest::addColumn<QString>("reason");
        QTest::newRow("a stalled line") << ""; // the reason names the pseudo-terminal
        QTest::newRow("a holder named in markup") << "COM1: in use by process 7 (<b>root</b>)";
    }
    void notValidTellsWhy() {
        QFETCH(QString, reason);
        auto* port = child<QLabel>("Label3(0)");
        form_->show();
        QVERIFY(QTest::qWaitForWindowActive(form_.get()));
        if (reason.isEmpty()) {
            // The far end holds the line: the wake byte does not leave, and the
            // device is there all along, so the port is not opened again.
            reason = "COM1: cannot write to " + peer_->slavePath() +
                     ": 0 of 1 bytes sent within 1000 ms";
            QVERIFY(peer_->stall());
            QTest::ignoreMessage(QtWarningMsg, qPrintable(reason));
            child<QToolButton>("Command1")->click();
            QTest::qWait(2000);
            QCOMPARE(peer_->receivedBytes(), "");
        } else {
            form_->setPortLabel("Not valid");
            form_->setPortToolTip(reason);
        }
        QCOMPARE(port->text(), "Not valid");
        QCOMPARE(QAccessible::queryAccessibleInterface(port)->text(QAccessible::Description),
                 "Not valid: " + reason);
        QHelpEvent hover(QEvent::ToolTip, QPoint(1, 1), port->mapToGlobal(QPoint(1, 1)));
        QCoreApplication::sendEvent(port, &hover);
        QCOMPARE(shown(port->toolTip()), reason);
        QString told;
        QTimer::singleShot(0, form_.get(), [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            told = box && box->textFormat() == Qt::PlainText ? box->text() : QString();
            QApplication::activeModalWidget()->close();
        });
        QTest::keyClick(form_.get(), Qt::Key_F1);
        QCOMPARE(told, "Not valid: " + reason);
    }

    // Every control that takes the focus shows that it has it.
    void focusIsMarked() {
        form_->show();
        QVERIFY(QTest::qWaitForWindowActive(form_.get()));
        for (const char* name : {"CMD13", "CMD4", "Command1", "CMDS34", "Command6", "Combo1",
                                 "Text3", "VScroll1", "TextCMD13"}) {
            auto* control = child<QWidget>(name);
            child<QWidget>(control == child<QWidget>("CMD13") ? "CMD4" : "CMD13")->setFocus();
            const QImage without = control->grab().toImage();
            control->setFocus();
            QVERIFY2(control->grab().toImage() != without, name);
        }
    }

    // The log keeps the first 64 KiB of a babbling line and drops the rest.
    void floodKeepsTheLogBounded() {
        QByteArray flood;
        for (int i = 0; flood.size() < 80 * 1024; ++i)
            flood += static_cast<char>('a' + i % 23);
        std::atomic<bool> sent = false;
        // The program takes it in as fast as the machine lets it: about 2 s
        // here, 5 s with two busy loops beside it.
        std::thread sender([&] { sent = peer_->send(flood, 7 * Patience); });
        // The poller, ticked as fast as it goes, until the far end has
        // written everything and the window has taken in every byte of it.
        const QDeadlineTimer deadline(8 * Patience);
        const auto taken = [&] {
            return sent && peer_->unread() == 0 && form_->commControl().InBufferCount() == 0;
        };
        while (!taken() && !deadline.hasExpired())
            form_->Timer1_Timer();
        sender.join();
        QVERIFY(sent);
        QCOMPARE(form_->receiveLog(), flood.left(65536));
        QCOMPARE(child<QPlainTextEdit>("Text2")->toPlainText().toLatin1(), form_->receiveLog());
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
