#include "errorcodes.h"

#include <QtTest>

class tst_ErrorCodes : public QObject
{
    Q_OBJECT

private slots:
    void errorString_data();
    void errorString();
};

void tst_ErrorCodes::errorString_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");

    const QString usb = QStringLiteral(", please check USB connection or reboot the chip.");
    QTest::newRow("0x0000") << 0x0000 << QStringLiteral("Success");
    QTest::newRow("0x0101") << 0x0101 << QStringLiteral("Failed to pase cmd arguments.");
    QTest::newRow("0x0102") << 0x0102 << QStringLiteral("Not all necessary arguments are provided.");
    QTest::newRow("0x0103") << 0x0103
                            << QStringLiteral("Invalid: erase mode must be set and can only be set to 'mass' or 'userarea'.");
    QTest::newRow("0x0104") << 0x0104 << QStringLiteral("Invalid: port name must be set and exists.");
    QTest::newRow("0x0105") << 0x0105 << QStringLiteral("Invalid: baudrate must be set and in range [%1, %2].");
    QTest::newRow("0x0106") << 0x0106 << QStringLiteral("Invalid: filename must exist and can only be set once.");
    QTest::newRow("0x0107") << 0x0107
                            << QStringLiteral("Invalid: start addr must not exceed the flash size, should be 4KB "
                                              "aligned and can only be set once.");
    QTest::newRow("0x0201") << 0x0201 << QStringLiteral("Failed to open serial port, maybe not exist or be occupied.");
    QTest::newRow("0x0202") << 0x0202 << QStringLiteral("Failed to send cmd 'version'") + usb;
    QTest::newRow("0x0203") << 0x0203 << QStringLiteral("Failed to read chip code version") + usb;
    QTest::newRow("0x0301") << 0x0301 << QStringLiteral("Failed to send cmd 'download'") + usb;
    QTest::newRow("0x0302") << 0x0302 << QStringLiteral("Failed to send ramcode to chip") + usb;
    QTest::newRow("0x0401") << 0x0401 << QStringLiteral("Failed to send cmd 'filecount'") + usb;
    QTest::newRow("0x0402") << 0x0402 << QStringLiteral("Failed to read cmd 'filecount' result") + usb;
    QTest::newRow("0x0403") << 0x0403 << QStringLiteral("Failed to send cmd 'baudrate'") + usb;
    QTest::newRow("0x0404") << 0x0404 << QStringLiteral("Failed to read cmd 'baudrate' result") + usb;
    QTest::newRow("0x0405") << 0x0405 << QStringLiteral("Failed to send cmd 'startaddr'") + usb;
    QTest::newRow("0x0406") << 0x0406 << QStringLiteral("Failed to read cmd 'startaddr' result") + usb;
    QTest::newRow("0x0407") << 0x0407 << QStringLiteral("Failed to send cmd 'erase all'") + usb;
    QTest::newRow("0x0408") << 0x0408 << QStringLiteral("Failed to read cmd 'erase all' result") + usb;
    QTest::newRow("0x0409") << 0x0409 << QStringLiteral("Failed to send cmd 'upgrade'") + usb;
    QTest::newRow("0x040A") << 0x040A << QStringLiteral("Failed to send disk file") + usb;
    QTest::newRow("0xFFFF") << 0xFFFF << QStringLiteral("Unknown error.");

    for (int code : { 0x0100, 0x0200, 0x0300, 0x0400, 0x040B, 0x0108, 0x0001, -1, 0x10000, -0xFFFF })
        QTest::newRow(qPrintable(QStringLiteral("unknown %1").arg(code))) << code << QString();
}

void tst_ErrorCodes::errorString()
{
    QFETCH(int, code);
    QFETCH(QString, message);
    QCOMPARE(ErrorCodes::errorString(code), message);
}

QTEST_GUILESS_MAIN(tst_ErrorCodes)
#include "tst_errorcodes.moc"
