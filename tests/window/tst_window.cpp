#include "app/formcommunication.h"
#include "app/twips.h"
#include "support/recordingcontrol.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QStyleOptionFrame>
#include <QTest>
#include <QTimer>
#include <QToolButton>

class TestWindow : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { FormCommunication::applyClassicLook(); }
    void init();
    void cleanup();

    void controls_data();
    void controls();
    void initialState();
    void menus();
    void focusStartsOnSetIntoAndFollowsTheTabOrder();
    void fontsResolveToTheMetricsTheLayoutWasDrawnFor();
    void captionsAndTheClockTextFitTheirBoxes();
    void clientAreaAndFixedLayout();

    void setPcFillsTheClockField_data();
    void setPcFillsTheClockField();
    void setPcReadsTheClockOnce();
    void scrollBarMirrorsIntoTheOnTimeField();
    void scrollBarDownArrowRaisesTheOnTime();
    void inertControlsDoNothing();

private:
    template <typename T> T* child(const char* name) const {
        T* widget = form_->findChild<T*>(QString::fromLatin1(name));
        if (!widget) {
            qFatal("no control %s", name);
        }
        return widget;
    }

    RecordingControl* comm_ = nullptr;
    std::unique_ptr<FormCommunication> form_;
};

void TestWindow::init() {
    auto comm = std::make_unique<RecordingControl>();
    comm_ = comm.get();
    form_ = std::make_unique<FormCommunication>(std::move(comm));
}

void TestWindow::cleanup() {
    form_.reset();
}

void TestWindow::controls_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("container");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("toolTip");
    auto row = [](const char* name, const char* kind, const char* container, const QString& caption,
                  QRect geometry, const QString& toolTip = {}) {
        QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(kind)
                            << QString::fromLatin1(container) << caption << geometry << toolTip;
    };
    row("Label8(0)", "QLabel", "client", "Com:", twipsRect(2760, 135, 495, 255));
    row("Label3(0)", "QLabel", "client", "", twipsRect(3270, 120, 1215, 300));
    row("Label8(1)", "QLabel", "client", "Baud:", twipsRect(4740, 135, 495, 255));
    row("Label3(1)", "QLabel", "client", "", twipsRect(5340, 120, 1215, 300));
    row("Frame4", "QGroupBox", "client", " Time ", twipsRect(120, 480, 6495, 1335));
    row("Label11", "QLabel", "Frame4", "yy/mm/dd hh:mm:ss", twipsRect(480, 480, 1815, 255));
    row("TextCMD13", "QLineEdit", "Frame4", "", twipsRect(600, 720, 1575, 285));
    row("CMD4", "QToolButton", "Frame4", "Set PC", twipsRect(3240, 360, 855, 855));
    row("Command1", "QToolButton", "Frame4", "Read from", twipsRect(4440, 360, 855, 855),
        "Read from Module");
    row("CMD13", "QToolButton", "Frame4", "Set into", twipsRect(5400, 360, 855, 855),
        "Set into Module");
    row("Frame6", "QGroupBox", "client", "Slots", twipsRect(120, 1920, 6495, 1455));
    row("Label1", "QLabel", "Frame6", "Rate", twipsRect(480, 480, 735, 255));
    row("Combo1", "QComboBox", "Frame6", " ", twipsRect(480, 720, 1455, 315));
    row("Label4(3)", "QLabel", "Frame6", "Time ON (sec)", twipsRect(2160, 480, 1335, 255));
    row("Text3", "QLineEdit", "Frame6", "", twipsRect(2400, 720, 732, 345));
    row("VScroll1", "QScrollBar", "Frame6", "", twipsRect(3480, 240, 252, 975));
    row("Command6", "QToolButton", "Frame6", "Read from", twipsRect(4440, 360, 855, 855));
    row("CMDS34", "QToolButton", "Frame6", "Set into", twipsRect(5400, 360, 855, 855));
    row("LabelWait", "QLabel", "client", "WAIT...", twipsRect(120, 3480, 6495, 375));
    row("Frame5", "QGroupBox", "client", "Tx", twipsRect(6840, 120, 5052, 1695));
    row("Text1", "QPlainTextEdit", "Frame5", "", twipsRect(120, 240, 3855, 1305));
    row("ClearTx", "QToolButton", "Frame5", "Clear", twipsRect(4080, 720, 855, 855),
        "Clear Tx text");
    row("Frame2", "QGroupBox", "client", "Rx", twipsRect(6840, 1920, 5052, 1935));
    row("Text2", "QPlainTextEdit", "Frame2", "", twipsRect(120, 240, 3855, 1545));
    row("ClearRx", "QToolButton", "Frame2", "Clear", twipsRect(4080, 960, 855, 855),
        "Clear Rx text");
}

void TestWindow::controls() {
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(QString, container);
    QFETCH(QString, caption);
    QFETCH(QRect, geometry);
    QFETCH(QString, toolTip);
    const QWidget* widget = form_->findChild<QWidget*>(name);
    QVERIFY(widget);
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), kind);
    QCOMPARE(widget->parentWidget()->objectName(), container);
    QCOMPARE(widget->geometry(), geometry);
    QCOMPARE(widget->toolTip(), toolTip);
    QString text;
    if (auto* label = qobject_cast<const QLabel*>(widget)) {
        text = label->text();
    } else if (auto* box = qobject_cast<const QGroupBox*>(widget)) {
        text = box->title();
    } else if (auto* button = qobject_cast<const QAbstractButton*>(widget)) {
        text = button->text();
        QCOMPARE(button->iconSize(), QSize(32, 32));
        QVERIFY(!button->icon().isNull());
        QCOMPARE(qobject_cast<const QToolButton*>(button)->toolButtonStyle(),
                 Qt::ToolButtonTextUnderIcon);
    } else if (auto* edit = qobject_cast<const QLineEdit*>(widget)) {
        text = edit->text();
    } else if (auto* combo = qobject_cast<const QComboBox*>(widget)) {
        text = combo->currentText();
    } else if (auto* log = qobject_cast<const QPlainTextEdit*>(widget)) {
        text = log->toPlainText();
    }
    QCOMPARE(text, caption);
}

void TestWindow::initialState() {
    QCOMPARE(form_->windowTitle(), QStringLiteral("Velkaro"));
    QVERIFY(!form_->windowIcon().isNull());

    auto* combo = child<QComboBox>("Combo1");
    QCOMPARE(combo->currentIndex(), -1);
    QVERIFY(combo->isEditable());
    const QStringList entries{"30  Minutes", "1   Hour",  "2   Hours", "4   Hours",
                              "6   Hours",   "12  Hours", "24  Hours"};
    QCOMPARE(combo->count(), entries.size());
    for (int i = 0; i < combo->count(); ++i) {
        QCOMPARE(combo->itemText(i), entries[i]);
    }

    auto* bar = child<QScrollBar>("VScroll1");
    QCOMPARE(bar->orientation(), Qt::Vertical);
    QCOMPARE(bar->minimum(), 1);
    QCOMPARE(bar->maximum(), 240);
    QCOMPARE(bar->singleStep(), 1);
    QCOMPARE(bar->pageStep(), 10);
    QCOMPARE(bar->value(), 240);
    QCOMPARE(child<QLineEdit>("Text3")->text(), QString());

    QVERIFY(child<QLineEdit>("Text3")->isReadOnly());
    QVERIFY(child<QPlainTextEdit>("Text2")->isReadOnly());
    QVERIFY(!child<QLineEdit>("TextCMD13")->isReadOnly());
    QCOMPARE(child<QLineEdit>("TextCMD13")->maxLength(), 17);

    form_->show();
    QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
    QVERIFY(!child<QLabel>("LabelWait")->isVisible());
    QVERIFY(!child<QGroupBox>("Frame5")->isVisible());
    QVERIFY(!child<QGroupBox>("Frame2")->isVisible());
    QVERIFY(child<QGroupBox>("Frame4")->isVisible());
    QCOMPARE(child<QLabel>("LabelWait")->palette().color(QPalette::Window), QColor(255, 0, 0));
    QCOMPARE(child<QLabel>("Label3(0)")->palette().color(QPalette::Window), QColor(Qt::white));
    QCOMPARE(child<QLabel>("LabelWait")->alignment(), Qt::AlignCenter);
    QCOMPARE(child<QLabel>("Label3(1)")->alignment(), Qt::AlignCenter);
    QCOMPARE(child<QLineEdit>("Text3")->alignment(), Qt::AlignCenter);

    // The timer polls from creation on, without anybody starting it.
    auto* timer = form_->findChild<QTimer*>(QStringLiteral("Timer1"));
    QVERIFY(timer);
    QVERIFY(timer->isActive());
    QCOMPARE(timer->interval(), 50);
}

void TestWindow::menus() {
    const QList<QAction*> top = form_->menuBar()->actions();
    QCOMPARE(top.size(), 2);
    QCOMPARE(top[0]->text(), QStringLiteral("     Exit     "));
    QVERIFY(!top[0]->menu());
    QCOMPARE(top[1]->text(), QStringLiteral("     Com Port    "));
    QMenu* com = top[1]->menu();
    QVERIFY(com);
    const QList<QAction*> items = com->actions();
    QCOMPARE(items.size(), 8);
    for (int i = 0; i < 8; ++i) {
        QCOMPARE(items[i]->text(), QStringLiteral("Com%1").arg(i + 1));
        QCOMPARE(items[i]->objectName(), QStringLiteral("Comxm(%1)").arg(i + 1));
        QVERIFY(items[i]->isCheckable());
        QVERIFY(!items[i]->isChecked());
    }
}

void TestWindow::focusStartsOnSetIntoAndFollowsTheTabOrder() {
    form_->show();
    QVERIFY(QTest::qWaitForWindowActive(form_.get()));
    QCOMPARE(QApplication::focusWidget(), child<QWidget>("CMD13"));
    const QStringList expected{"CMD4",  "Command1", "CMDS34",    "Command6", "Combo1",
                               "Text3", "VScroll1", "TextCMD13", "CMD13"};
    for (const QString& name : expected) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget()->objectName(), name);
    }
}

void TestWindow::fontsResolveToTheMetricsTheLayoutWasDrawnFor() {
    const QStringList sans{"MS Sans Serif", "Liberation Sans", "Arimo"};
    const QFontInfo window(child<QLabel>("Label11")->font());
    QVERIFY2(sans.contains(window.family()), qPrintable(window.family()));
    // Point sizes resolve to whole pixels: 8 pt is 11 px at 96 dots per inch.
    QVERIFY(qAbs(window.pointSizeF() - 8.0) < 0.5);

    const QFontInfo busy(child<QLabel>("LabelWait")->font());
    QVERIFY(sans.contains(busy.family()));
    QVERIFY(busy.bold());
    QVERIFY(qAbs(busy.pointSizeF() - 12.0) < 0.5);

    const QStringList mono{"Courier New", "Liberation Mono", "Cousine"};
    for (const char* name : {"Text1", "Text2"}) {
        const QFontInfo log(child<QPlainTextEdit>(name)->font());
        QVERIFY2(mono.contains(log.family()), qPrintable(log.family()));
        QVERIFY(qAbs(log.pointSizeF() - 10.5) < 0.5);
    }
}

void TestWindow::captionsAndTheClockTextFitTheirBoxes() {
    for (QLabel* label : form_->findChildren<QLabel*>()) {
        const int needed = label->fontMetrics().horizontalAdvance(label->text());
        QVERIFY2(needed <= label->contentsRect().width(), qPrintable(label->objectName()));
        QVERIFY2(label->fontMetrics().height() <= label->height(), qPrintable(label->objectName()));
    }
    for (QToolButton* button : form_->findChildren<QToolButton*>()) {
        const int needed = button->fontMetrics().horizontalAdvance(button->text());
        QVERIFY2(needed + 4 <= button->width(), qPrintable(button->objectName()));
        QVERIFY2(button->sizeHint().height() <= button->height(), qPrintable(button->objectName()));
    }
    for (QGroupBox* box : form_->findChildren<QGroupBox*>()) {
        QVERIFY(box->fontMetrics().horizontalAdvance(box->title()) < box->width() / 2);
    }

    auto* clock = child<QLineEdit>("TextCMD13");
    clock->setText(QStringLiteral("26/01/05 09:07:03"));
    QStyleOptionFrame option;
    option.initFrom(clock);
    option.lineWidth = clock->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, clock);
    const QRect contents =
        clock->style()->subElementRect(QStyle::SE_LineEditContents, &option, clock);
    const int lineEditMargin = 2; // QLineEdit's own horizontal margin on each side
    QVERIFY2(clock->fontMetrics().horizontalAdvance(clock->text()) <=
                 contents.width() - 2 * lineEditMargin,
             "the 17-character clock text is clipped");

    auto* combo = child<QComboBox>("Combo1");
    for (int i = 0; i < combo->count(); ++i) {
        QVERIFY(combo->fontMetrics().horizontalAdvance(combo->itemText(i)) < combo->width() - 20);
    }
}

void TestWindow::clientAreaAndFixedLayout() {
    form_->show();
    QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
    QWidget* client = form_->centralWidget();
    QCOMPARE(client->size(), QSize(446, 264));
    QCOMPARE(client->y(), form_->menuBar()->height());
    QVERIFY(child<QGroupBox>("Frame5")->x() >= client->width());
    QVERIFY(child<QGroupBox>("Frame2")->x() >= client->width());

    const QRect before = child<QWidget>("CMDS34")->geometry();
    form_->resize(form_->width() + 200, form_->height() + 100);
    QTRY_COMPARE(client->width(), 646);
    QCOMPARE(child<QWidget>("CMDS34")->geometry(), before);
    QCOMPARE(child<QWidget>("LabelWait")->width(), twips(6495));
}

void TestWindow::setPcFillsTheClockField_data() {
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<QString>("text");
    QTest::newRow("2026") << QDateTime(QDate(2026, 1, 5), QTime(9, 7, 3)) << "26/01/05 09:07:03";
    QTest::newRow("2009") << QDateTime(QDate(2009, 12, 31), QTime(23, 59, 59))
                          << "09/12/31 23:59:59";
    QTest::newRow("2000") << QDateTime(QDate(2000, 2, 29), QTime(0, 0, 0)) << "00/02/29 00:00:00";
    QTest::newRow("afternoon") << QDateTime(QDate(2031, 7, 14), QTime(13, 5, 9))
                               << "31/07/14 13:05:09";
}

void TestWindow::setPcFillsTheClockField() {
    QFETCH(QDateTime, now);
    QFETCH(QString, text);
    form_->setClock([now] { return now; });
    auto* clock = child<QLineEdit>("TextCMD13");
    clock->setText(QStringLiteral("typed"));
    QTest::mouseClick(child<QToolButton>("CMD4"), Qt::LeftButton);
    QCOMPARE(clock->text(), text);
    QVERIFY(comm_->calls.filter("Output").isEmpty());
}

void TestWindow::setPcReadsTheClockOnce() {
    // A click at midnight: a second reading would already be the next day.
    const QDateTime readings[] = {QDateTime(QDate(2026, 3, 9), QTime(23, 59, 59, 999)),
                                  QDateTime(QDate(2026, 3, 10), QTime(0, 0, 0))};
    int taken = 0;
    form_->setClock([&] { return readings[std::min(taken++, 1)]; });
    form_->CMD4_Click();
    QCOMPARE(child<QLineEdit>("TextCMD13")->text(), QStringLiteral("26/03/09 23:59:59"));
}

void TestWindow::scrollBarMirrorsIntoTheOnTimeField() {
    auto* bar = child<QScrollBar>("VScroll1");
    auto* field = child<QLineEdit>("Text3");

    bar->setValue(240); // the value it already holds: nothing runs
    QCOMPARE(field->text(), QString());

    bar->triggerAction(QAbstractSlider::SliderSingleStepSub);
    QCOMPARE(field->text(), QStringLiteral(" 239"));
    bar->setValue(5);
    QCOMPARE(field->text(), QStringLiteral(" 5"));

    // Dragging the box shows nothing until it is released.
    bar->setSliderDown(true);
    bar->setSliderPosition(200);
    bar->setSliderPosition(120);
    QCOMPARE(field->text(), QStringLiteral(" 5"));
    bar->setSliderDown(false);
    QCOMPARE(field->text(), QStringLiteral(" 120"));
}

void TestWindow::scrollBarDownArrowRaisesTheOnTime() {
    form_->show();
    QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
    auto* bar = child<QScrollBar>("VScroll1");
    bar->setValue(100);
    QTest::mouseClick(bar, Qt::LeftButton, {}, QPoint(bar->width() / 2, bar->height() - 3));
    QCOMPARE(bar->value(), 101);
    QTest::mouseClick(bar, Qt::LeftButton, {}, QPoint(bar->width() / 2, 3));
    QCOMPARE(bar->value(), 100);
    QCOMPARE(child<QLineEdit>("Text3")->text(), QStringLiteral(" 100"));
}

void TestWindow::inertControlsDoNothing() {
    form_->show();
    QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
    auto* onTime = child<QLineEdit>("Text3");
    QTest::keyClicks(onTime, QStringLiteral("12"));
    QCOMPARE(onTime->text(), QString());

    auto* clock = child<QLineEdit>("TextCMD13");
    QTest::keyClicks(clock, QStringLiteral("26/01/05 09:07:0399"));
    QCOMPARE(clock->text(), QStringLiteral("26/01/05 09:07:03"));

    auto* log = child<QPlainTextEdit>("Text2");
    QTest::keyClicks(log, QStringLiteral("x"));
    QCOMPARE(log->toPlainText(), QString());

    const QStringList before = comm_->calls;
    for (const char* name : {"ClearTx", "ClearRx"}) {
        child<QToolButton>(name)->click();
    }
    QCOMPARE(comm_->calls, before);
    QVERIFY(!child<QGroupBox>("Frame5")->isVisible());
    QVERIFY(!child<QGroupBox>("Frame2")->isVisible());
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
