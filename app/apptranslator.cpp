#include "apptranslator.h"

#include <QCoreApplication>

AppTranslator::AppTranslator()
{
    // Empty directory, delimiters and suffix: the toolkit's own search rules for the file.
    gui.load(QStringLiteral(":/translations/gui_zh_cn"), QString(), QString(), QString());
    if (gui.isEmpty())
        return;
    QCoreApplication::installTranslator(&gui);
    if (toolkit.load(QStringLiteral(":/translations/qtbase_zh_CN")))
        QCoreApplication::installTranslator(&toolkit);
}

AppTranslator::~AppTranslator()
{
    QCoreApplication::removeTranslator(&toolkit);
    QCoreApplication::removeTranslator(&gui);
}
