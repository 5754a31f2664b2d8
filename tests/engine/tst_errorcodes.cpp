#include "errorcodes.h"

#include <QtTest>

class tst_ErrorCodes : public QObject
{
    Q_OBJECT

private slots:
    // Every code of the table has a message of its own (a shared one would hide which phase
    // failed); a gap inside a phase has none.
    void errorString()
    {
        QSet<QString> messages;
        for (int code : { 0x0000, 0x0101, 0x0102, 0x0103, 0x0104, 0x0105, 0x0106, 0x0107, 0x0201, 0x0202, 0x0203, 0x0301,
                          0x0302, 0x0401, 0x0402, 0x0403, 0x0404, 0x0405, 0x0406, 0x0407, 0x0408, 0x0409, 0x040A, 0xFFFF })
            messages << ErrorCodes::errorString(code);
        QVERIFY(messages.size() == 24 && !messages.contains(QString()));
        QCOMPARE(ErrorCodes::errorString(0xFFFF), QStringLiteral("Unknown error."));
        for (int code : { 0x0100, 0x0300, 0x040B, 0x0108, 0x0001, -1, 0x10000 })
            QVERIFY2(ErrorCodes::errorString(code).isEmpty(), qPrintable(QString::number(code, 16)));
    }
};

QTEST_GUILESS_MAIN(tst_ErrorCodes)
#include "tst_errorcodes.moc"
