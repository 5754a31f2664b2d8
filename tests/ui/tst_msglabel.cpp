#include "msglabel.h"

#include <QElapsedTimer>
#include <QtTest>

class tst_MsgLabel : public QObject
{
    Q_OBJECT

private slots:
    void levelStyle_data();
    void levelStyle();
    void newerMessageGetsFullTime();
};

void tst_MsgLabel::levelStyle_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<QString>("style");

    QTest::newRow("0 plain") << 0 << QStringLiteral("color: black;");
    QTest::newRow("1 error") << 1 << QStringLiteral("color: red;");
    QTest::newRow("2 strong error") << 2 << QStringLiteral("color: black;background: red");
    QTest::newRow("3 success") << 3 << QStringLiteral("color: green;");
    QTest::newRow("4 warning") << 4 << QStringLiteral("color: yellow;background: black");
    QTest::newRow("7 unknown") << 7 << QString();
}

void tst_MsgLabel::levelStyle()
{
    QFETCH(int, level);
    QFETCH(QString, style);

    MsgLabel label;
    // A styled message first, so an unknown level must actively drop the previous style.
    label.showMsg(QStringLiteral("before"), 2);
    label.showMsg(QStringLiteral("line speed"), level);
    QCOMPARE(label.text(), QStringLiteral("line speed"));
    QCOMPARE(label.styleSheet(), style);
}

// The first message would expire 2000 ms after the second one; the second keeps its own 3000 ms.
void tst_MsgLabel::newerMessageGetsFullTime()
{
    MsgLabel label;
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
