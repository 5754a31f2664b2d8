#include "msglabel.h"

#include <QTimer>

MsgLabel::MsgLabel(QWidget *parent)
    : QLabel(parent)
    , hideTimer(new QTimer(this))
{
    hideTimer->setSingleShot(true);
    connect(hideTimer, &QTimer::timeout, this, &MsgLabel::timeout);
}

void MsgLabel::setMsgLevel(int level)
{
    switch (level) {
    case MSG_LEVEL_PLAIN:
        setStyleSheet(QStringLiteral("color: black;"));
        break;
    case MSG_LEVEL_ERROR:
        setStyleSheet(QStringLiteral("color: red;"));
        break;
    case MSG_LEVEL_STRONG_ERROR:
        setStyleSheet(QStringLiteral("color: black;background: red"));
        break;
    case MSG_LEVEL_SUCCESS:
        setStyleSheet(QStringLiteral("color: green;"));
        break;
    case MSG_LEVEL_WARNING:
        setStyleSheet(QStringLiteral("color: yellow;background: black"));
        break;
    default:
        setStyleSheet(QString());
        break;
    }
}

void MsgLabel::showMsg(const QString &msg, int level)
{
    showMsg(msg, level, DEFAULT_TIMEOUT_MS);
}

// Restarting the timer gives the newest message its full time, whatever was shown before.
void MsgLabel::showMsg(const QString &msg, int level, int timeoutMs)
{
    setMsgLevel(level);
    setText(msg);
    hideTimer->setSingleShot(true);
    hideTimer->start(timeoutMs);
}

void MsgLabel::timeout()
{
    setText(QString());
    setStyleSheet(QString());
}
