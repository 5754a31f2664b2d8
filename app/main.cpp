#include "mainwindow.h"
#include "worker.h"

#include <QApplication>
#include <QMetaType>
#include <QTranslator>

int main(int argc, char *argv[])
{
    // The chip code travels from the worker threads to the stations in queued signals.
    registerWorkerMetaTypes();

    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps, true);
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);

    QApplication app(argc, argv);

    QTranslator translator;
    translator.load(QStringLiteral(":/translations/gui_zh_cn"), QString(), QString(), QString());
    if (!translator.isEmpty())
        QApplication::installTranslator(&translator);

    MainWindow window;
    window.show();

    return app.exec();
}
