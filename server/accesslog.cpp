#include "server/accesslog.h"

#include <QDateTime>

namespace {

// ISO 8601 in UTC with milliseconds. Formatting a date is costly next to a
// cheap request, so the part up to the seconds is made once a second.
QString timestamp()
{
    thread_local qint64 second = -1;
    thread_local QString upToSeconds;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now / 1000 != second) {
        second = now / 1000;
        upToSeconds = QDateTime::fromSecsSinceEpoch(second, Qt::UTC).toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss."));
    }
    const int ms = int(now % 1000);
    const char digits[] = {char('0' + ms / 100), char('0' + ms / 10 % 10), char('0' + ms % 10), 'Z'};
    return upToSeconds + QLatin1String(digits, 4);
}

} // namespace

QString accessLogLine(const AccessEntry &entry)
{
    QString line;
    line.reserve(96 + entry.path.size() + entry.body.size() + entry.note.size());
    line += timestamp();
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
        line += QString::number(entry.status);
        line += u' ';
        line += entry.body.isEmpty() ? QLatin1String("-") : QLatin1String(entry.body);
        line += u' ';
    }
    line += QString::number(entry.ms);
    line += QLatin1String("ms");
    if (!entry.note.isEmpty()) {
        line += QLatin1String(" (");
        line += entry.note;
        line += u')';
    }
    return line;
}
