#ifndef APPTRANSLATOR_H
#define APPTRANSLATOR_H

#include <QTranslator>

// The interface language the build carries. A build with an embedded catalogue under
// ":/translations/gui_zh_cn" gets it installed, together with the toolkit's own catalogue for
// the same language, so that standard buttons and the file dialog match; the standard build
// carries none and stays English. Lives from after the application object to after the window.
class AppTranslator
{
public:
    AppTranslator();
    ~AppTranslator();

    bool isInstalled() const { return !gui.isEmpty(); }

private:
    QTranslator gui;
    QTranslator toolkit;
};

#endif // APPTRANSLATOR_H
