#include "server/log/accesslog.h"

#include <QDateTime>

namespace {

// Digits appended in place: a number through a temporary string costs an
// allocation, next to a cheap request a dear one.
void appendNumber(QString &line, qint64 value)
{
    char16_t digits[20];
    int count = 0;
    do
        digits[count++] = char16_t(u'0' + value % 10);
    while ((value /= 10) > 0);
    while (count > 0)
        line += QChar(digits[--count]);
}

// ISO 8601 in UTC with milliseconds. Formatting a date is costly too, so the
// part up to the seconds is made once a second.
void appendTimestamp(QString &line)
{
    thread_local qint64 second = -1;
    thread_local QString upToSeconds;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now / 1000 != second) {
        second = now / 1000;
        upToSeconds = QDateTime::fromSecsSinceEpoch(second, Qt::UTC).toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss."));
    }
    const int ms = int(now % 1000);
    line += upToSeconds;
    line += QChar(u'0' + ms / 100);
    line += QChar(u'0' + ms / 10 % 10);
    line += QChar(u'0' + ms % 10);
    line += u'Z';
}

} // namespace

QString accessLogLine(const AccessEntry &entry)
{
    QString line;
    line.reserve(96 + entry.peer.size() + entry.path.size() + entry.body.size() + entry.note.size());
    appendTimestamp(line);
    line += u' ';
    line += entry.peer;
    line += u' ';
    line += entry.method;
    line += u' ';
    line += entry.path;
    if (entry.status == 0) {
        line += QLatin1String(" - aborted ");
    } else {
        line += u' ';
        appendNumber(line, entry.status);
        line += u' ';
        line += entry.body.isEmpty() ? QLatin1String("-") : QLatin1String(entry.body);
        line += u' ';
    }
    appendNumber(line, entry.ms);
    line += QLatin1String("ms");
    if (!entry.note.isEmpty()) {
        line += QLatin1String(" (");
        line += entry.note;
        line += u')';
    }
    return line;
}
