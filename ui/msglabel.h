#ifndef MSGLABEL_H
#define MSGLABEL_H

#include <QLabel>

class QTimer;

// A label for short operator feedback: a coloured message that clears itself after a while.
class MsgLabel : public QLabel
{
    Q_OBJECT

public:
    enum MsgLevelFlag {
        MSG_LEVEL_PLAIN = 0,
        MSG_LEVEL_ERROR = 1,
        MSG_LEVEL_STRONG_ERROR = 2,
        MSG_LEVEL_SUCCESS = 3,
        MSG_LEVEL_WARNING = 4,
    };
    Q_ENUM(MsgLevelFlag)

    static constexpr int DEFAULT_TIMEOUT_MS = 3000;

    explicit MsgLabel(QWidget *parent = nullptr);

    void setMsgLevel(int level);
    void showMsg(const QString &msg, int level);
    void showMsg(const QString &msg, int level, int timeoutMs);

protected slots:
    void timeout();

private:
    QTimer *hideTimer = nullptr;
};

#endif // MSGLABEL_H
