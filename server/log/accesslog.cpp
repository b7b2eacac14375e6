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

// A JSON string of text, quotes included.
void appendJson(QString &line, QStringView text)
{
    line += u'"';
    for (const QChar c : text) {
        if (c == u'"' || c == u'\\') {
            line += u'\\';
            line += c;
        } else if (c.unicode() < 0x20) {
            line += QLatin1String("\\u00");
            line += QLatin1Char("0123456789abcdef"[c.unicode() >> 4]);
            line += QLatin1Char("0123456789abcdef"[c.unicode() & 15]);
        } else {
            line += c;
        }
    }
    line += u'"';
}

QString jsonLine(const AccessEntry &entry)
{
    QString line;
    line.reserve(160 + entry.peer.size() + entry.path.size() + entry.body.size() + entry.note.size());
    line += QLatin1String("{\"time\":\"");
    appendTimestamp(line);
    line += QLatin1String("\",\"peer\":");
    appendJson(line, entry.peer);
    line += QLatin1String(",\"method\":");
    appendJson(line, QString(entry.method));
    line += QLatin1String(",\"path\":");
    appendJson(line, QString(entry.path));
    line += QLatin1String(",\"status\":");
    appendNumber(line, entry.status);
    line += QLatin1String(",\"body\":");
    appendJson(line, QString::fromLatin1(entry.body));
    line += QLatin1String(",\"ms\":");
    appendNumber(line, entry.ms);
    if (!entry.note.isEmpty()) {
        line += QLatin1String(",\"note\":");
        appendJson(line, entry.note);
    }
    line += u'}';
    return line;
}

} // namespace

QLatin1String accessLogMethod(const QByteArray &method)
{
    static const char *const known[] = {"GET", "HEAD", "POST", "PUT", "DELETE", "OPTIONS", "PATCH", "CONNECT", "TRACE"};
    for (const char *name : known) {
        if (method == name)
            return QLatin1String(name);
    }
    return QLatin1String(method.isEmpty() ? "-" : "?");
}

QString messageLine(const QString &text, LogFormat format)
{
    if (format == LogFormat::Text)
        return QLatin1String("velka-live-server: ") + text;
    QString line = QLatin1String("{\"time\":\"");
    appendTimestamp(line);
    line += QLatin1String("\",\"message\":");
    appendJson(line, text);
    line += u'}';
    return line;
}

QString accessLogLine(const AccessEntry &entry, LogFormat format)
{
    if (format == LogFormat::Json)
        return jsonLine(entry);
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
