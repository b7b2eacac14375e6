#pragma once

#include <QByteArray>
#include <QMap>
#include <QtGlobal>

// What a handler says of a request, for the metrics.
enum class Outcome {
    Other,
    SignInAccepted,
    SignInRefused,   // wrong password, unknown or disabled login, malformed
    SignInThrottled, // answered 503: too many failures, too busy to hash, the database away
    Registered,
    RegistrationRefused, // with its register.php code
};

// What the server counts for a monitor, in Prometheus' text format on the
// admin address. Counters only grow; a restart starts them again.
struct ServerMetrics
{
    qint64 signInsAccepted = 0;
    qint64 signInsRefused = 0;
    qint64 signInsThrottled = 0;
    qint64 registrationsCreated = 0;
    QMap<int, qint64> registrationsRefused; // by register.php code

    void count(Outcome outcome, int code = 0);
};

// What is read from its keepers when the metrics are asked for: the moment's
// figures, and counters that others keep.
struct ServerGauges
{
    int hashQueue = 0; // hashes under way or waiting
    qint64 hashes = 0;
    double hashSeconds = 0;
    int openConnections = 0;
    bool draining = false;
    qint64 databaseErrors = 0;
    qint64 databaseReconnects = 0;
    qint64 logLinesDropped = 0;
};

QByteArray metricsText(const ServerMetrics &metrics, const ServerGauges &gauges);
