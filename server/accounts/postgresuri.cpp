#include "server/accounts/postgresuri.h"

#include <libpq-fe.h>

#include <algorithm>

namespace {

// A silent database must not hold a connection for long; each bound is
// the URI's when it gives one. The server cuts a sign-in's statement that
// outlives statement_timeout by more than that itself (StoreLane::cutIfStuck).
const std::pair<const char *, const char *> Defaults[] = {
    {"connect_timeout", "2"},     // s, for each host of the list
    {"keepalives", "1"},
    {"keepalives_idle", "5"},     // s without traffic before the first probe
    {"keepalives_interval", "2"}, // s between probes
    {"keepalives_count", "2"},    // probes unanswered before the connection is dropped
    {"tcp_user_timeout", "5000"}, // ms that sent data may stay unacknowledged
    {"application_name", "velka-live-server"},
};

QString quoted(QString value)
{
    return u'\'' + value.replace(u'\\', QLatin1String("\\\\")).replace(u'\'', QLatin1String("\\'")) + u'\'';
}

} // namespace

bool readPostgresUri(const QString &uri, bool writes, PostgresConnection *connection, QString *error)
{
    // libpq reads the URI exactly as it will connect.
    char *problem = nullptr;
    PQconninfoOption *const parsed = PQconninfoParse(uri.toUtf8().constData(), &problem);
    if (!parsed) {
        *error = QStringLiteral("not a postgresql:// URI: %1").arg(QString::fromUtf8(problem).trimmed());
        PQfreemem(problem);
        return false;
    }
    QString hosts, ports;
    for (const PQconninfoOption *option = parsed; option->keyword; ++option) {
        if (!option->val)
            continue;
        const QString key = QString::fromLatin1(option->keyword), value = QString::fromUtf8(option->val);
        if (key == QLatin1String("dbname"))
            connection->database = value;
        else if (key == QLatin1String("user"))
            connection->user = value;
        else if (key == QLatin1String("password"))
            connection->password = value;
        else if (value.contains(u';')) // Qt turns every one into a space
            *error = QStringLiteral("option %1: no semicolons").arg(key);
        else
            connection->options << key + u'=' + quoted(value);
        hosts = key == QLatin1String("host") ? value : hosts;
        ports = key == QLatin1String("port") ? value : ports;
    }
    PQconninfoFree(parsed);
    if (!error->isEmpty())
        return false;
    const auto given = [&](QLatin1String key) {
        return std::any_of(connection->options.cbegin(), connection->options.cend(),
                           [&](const QString &option) { return option.startsWith(key + u'='); });
    };
    for (const auto &[key, value] : Defaults) {
        if (!given(QLatin1String(key)))
            connection->options << QLatin1String(key) + u'=' + QLatin1String(value);
    }
    // A server that writes talks to the primary alone, whichever host of the list it is now.
    if (writes && !given(QLatin1String("target_session_attrs")))
        connection->options << QStringLiteral("target_session_attrs=read-write");
    // host:port, host:port... as the URI had them; one port, or none, for every host.
    const QStringList hostList = hosts.split(u','), portList = ports.split(u',');
    QStringList places;
    for (qsizetype i = 0; i < hostList.size(); ++i) {
        const QString port = portList.value(portList.size() == 1 ? 0 : i);
        places << (port.isEmpty() ? hostList[i] : hostList[i] + u':' + port);
    }
    connection->target = QStringLiteral("postgresql://%1%2%3/%4")
                             .arg(connection->user, connection->user.isEmpty() ? QString() : QStringLiteral("@"),
                                  places.join(u','), connection->database);
    return true;
}
