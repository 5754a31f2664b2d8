#include "mainwindow.h"
#include "ramloader.h"
#include "serialflashwidget.h"
#include "serialmonitor.h"
#include "settingskeys.h"
#include "testsupport.h"

#include <QApplication>
#include <QLCDNumber>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

// What the operator reads on the window from a metre away, and what it says at start.
class tst_Readability : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void counters();
    void portRows();
    void startupNote_data();
    void startupNote();

private:
    QTemporaryDir dir;
};

void tst_Readability::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Marwenta"));
    QCoreApplication::setApplicationName(QStringLiteral("ZU-Dazazi-Zuvareridi"));
    QApplication::setQuitOnLastWindowClosed(false);
    QVERIFY(plugAdapter(QDir(dir.path()), "ttySIM7"));
    setExtraPorts({ dir.filePath("ttySIM7") });
    QTRY_VERIFY_WITH_TIMEOUT(SerialMonitor::instance()->currentPortList().contains(dir.filePath("ttySIM7")), 5000);
}

// The tallest run of lit rows in a grab of the counter: the height of its digits.
static int digitHeight(QLCDNumber *lcd)
{
    const QImage image = lcd->grab().toImage();
    const QRgb lit = lcd->palette().color(QPalette::WindowText).rgb();
    int top = image.height(), bottom = -1;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) == lit) {
                top = qMin(top, y);
                bottom = qMax(bottom, y);
            }
    return bottom - top + 1;
}

void tst_Readability::counters()
{
    QSettings().setValue(SettingsKeys::PassCount, 8888888);
    QSettings().setValue(SettingsKeys::FailCount, 8888888);
    MainWindow window;
    // The window opens maximized; the offscreen screen is smaller than the line's monitors.
    window.showNormal();
    window.resize(1000, 900);
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    // About 1 cm on a 96 dpi screen: legible from a metre, where the old 8 px were not.
    for (const char *name : { "lcdPassCount", "lcdFailCount" }) {
        auto *lcd = window.findChild<QLCDNumber *>(name);
        qWarning() << "GEOM" << lcd->geometry() << window.size();
        QCOMPARE(lcd->intValue(), 8888888);
        QCOMPARE(lcd->segmentStyle(), QLCDNumber::Filled);
        QVERIFY2(digitHeight(lcd) >= 36, qPrintable(QStringLiteral("%1: %2 px").arg(name).arg(digitHeight(lcd))));
    }
}

void tst_Readability::portRows()
{
    MainWindow window;
    // The window opens maximized; the offscreen screen is smaller than the line's monitors.
    window.showNormal();
    window.resize(1000, 900);
    QVERIFY(QMetaObject::invokeMethod(&window, "slotSerialScanResult", Qt::DirectConnection,
                                      Q_ARG(SerialMonitor::SerialScanResult, SerialMonitor::SCAN_RESULT_ADDED)));
    SerialFlashWidget *row = nullptr;
    for (SerialFlashWidget *station : window.findChildren<SerialFlashWidget *>())
        if (station->portName() == dir.filePath("ttySIM7"))
            row = station;
    QVERIFY(row);
    auto *field = row->findChild<QLineEdit *>("leditPortName");
    QCOMPARE(field->text(), QStringLiteral("ttySIM7"));
    QCOMPARE(field->toolTip(), dir.filePath("ttySIM7"));
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY2(field->fontMetrics().horizontalAdvance(field->text()) < field->width(), qPrintable(QString::number(field->width())));

    // Every state's word whole at 14 pt, in no more than the switch's 160 px.
    auto *button = row->findChild<QRadioButton *>("rdbtnOpenClose");
    for (auto state : { SerialFlashWidget::STATE_NOT_OPNED, SerialFlashWidget::STATE_CLOSED, SerialFlashWidget::STATE_OPENED }) {
        row->setSerialState(state);
        QApplication::processEvents();
        QCOMPARE(button->font().pointSize(), 14);
        QVERIFY2(button->width() >= button->sizeHint().width() && button->width() <= 160,
                 qPrintable(QStringLiteral("%1: %2 of %3 px").arg(button->text()).arg(button->width()).arg(button->sizeHint().width())));
    }
}

// What the log says about the RAM loaders when the window opens.
void tst_Readability::startupNote_data()
{
    QTest::addColumn<QString>("folder");   // "good": three sound loaders; "bad": one empty
    QTest::addColumn<QString>("note");

    QTest::newRow("built-in") << QString() << RamLoader::placeholderWarning();
    QTest::newRow("vendor folder") << "good" << "RAM loaders from " + dir.filePath("good");
    QTest::newRow("loader missing") << "bad"
        << "Failed to load ramcode file '" + dir.filePath("bad/ramcode_zr740c.bin")
           + "': it must exist, be readable, not be empty and not exceed 256 KiB.";
}

void tst_Readability::startupNote()
{
    QFETCH(QString, folder);
    QFETCH(QString, note);
    if (!folder.isEmpty()) {
        QVERIFY(QDir(dir.path()).mkpath(folder));
        for (const char *file : { "ramcode_zr740a.bin", "ramcode_zr740c.bin", "ramcode_zr610a.bin" })
            QVERIFY(writeFile(dir.filePath(folder + '/' + file),
                              folder == "bad" && QByteArray(file) == "ramcode_zr740c.bin" ? QByteArray()
                                                                                          : QByteArray(3000, 'L')));
    }
    QSettings().setValue(SettingsKeys::LoaderDir, folder.isEmpty() ? QString() : dir.filePath(folder));
    MainWindow window;
    const QStringList lines = window.findChild<QPlainTextEdit *>("txtLog")->toPlainText().split('\n');
    QCOMPARE(lines.size(), 1);
    QCOMPARE(lines.first().section(" | ", 1), note);
}

QTEST_MAIN(tst_Readability)
#include "tst_readability.moc"
