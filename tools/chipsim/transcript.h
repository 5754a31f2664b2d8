#ifndef TRANSCRIPT_H
#define TRANSCRIPT_H

#include <QFile>
#include <QJsonObject>
#include <QString>

// JSON-lines record of everything one chip saw and did. Every line is flushed at once
// so that a test can follow it while the simulator runs.
class Transcript
{
public:
    Transcript() = default;
    Transcript(const Transcript &) = delete;
    Transcript &operator=(const Transcript &) = delete;

    bool open(const QString &path, QString *error);
    bool isOpen() const { return file.isOpen(); }

    // Adds "t", "ev", "baud" and "chipbaud" to the given fields and writes one line.
    void write(const QString &event, QJsonObject fields, int hostBaud, int chipBaud);

    // Milliseconds (microseconds) since the simulator started, shared by all transcripts.
    static qint64 elapsedMs();
    static qint64 elapsedUs();

    // Bytes as a JSON string, one code point per byte, so CR, LF and NUL survive exactly.
    static QString bytesToText(const QByteArray &bytes);

private:
    QFile file;
};

#endif
