#include "msglabel.h"

#include <QElapsedTimer>
#include <QtTest>

class tst_MsgLabel : public QObject
{
    Q_OBJECT

private slots:
    void showMsg();
};

void tst_MsgLabel::showMsg()
{
    MsgLabel label;
    // An unknown level after a styled message must actively drop the previous style.
    label.showMsg(QStringLiteral("before"), 2);
    label.showMsg(QStringLiteral("line speed"), 7);
    QCOMPARE(label.text(), QStringLiteral("line speed"));
    QCOMPARE(label.styleSheet(), QString());

    // The first message would expire 2000 ms after the second one; the second keeps its own 3000 ms.
    label.showMsg(QStringLiteral("Acceptable baudrate [115200]."), 3);
    QTest::qWait(1000);
    label.showMsg(QStringLiteral("Valid range is: [115200, 3000000]!!!"), 1);
    QElapsedTimer sinceSecond;
    sinceSecond.start();
    QTest::qWait(2300);
    if (sinceSecond.elapsed() < 2800) {
        QCOMPARE(label.text(), QStringLiteral("Valid range is: [115200, 3000000]!!!"));
        QCOMPARE(label.styleSheet(), QStringLiteral("color: red;"));
    }
    QTRY_VERIFY_WITH_TIMEOUT(label.text().isEmpty(), 10000);
    // Coarse timers may fire up to 5 % early, never more.
    QVERIFY2(sinceSecond.elapsed() >= 2850, qPrintable(QString::number(sinceSecond.elapsed())));
    QVERIFY(label.styleSheet().isEmpty());
}

QTEST_MAIN(tst_MsgLabel)
#include "tst_msglabel.moc"
