#pragma once

#include <QByteArray>
#include <QString>

// One request as the access log keeps it: never the query, so never a digest
// or a registration detail.
struct AccessEntry
{
    QString peer;                 // address:port
    QLatin1String method{"-"};    // "-": refused before a request was read
    QLatin1String path{"-"};      // a route the server knows, never the target a client sent
    int status = 0;               // 0: the client left before its answer
    QByteArray body;
    qint64 ms = 0;
    QString note;                 // why, for refusals and storage errors
};

enum class LogFormat {
    Text, // one line for a person
    Json, // one JSON object a line, for journald's readers and log shippers
};

// Text: "<UTC time> <peer> <method> <path> <status> <body or -> <ms>ms[ (note)]",
// or "- aborted" in place of status and body. Json: the same fields, named,
// status 0 for aborted.
QString accessLogLine(const AccessEntry &entry, LogFormat format = LogFormat::Text);
// The method as the log shows it: one HTTP names, "?" for anything else (so
// that nothing a client makes up reaches the log), "-" for none.
QLatin1String accessLogMethod(const QByteArray &method);
// A line of the server's own, not about one request: "velka-live-server: <text>"
// or {"time":...,"message":...}.
QString messageLine(const QString &text, LogFormat format);
