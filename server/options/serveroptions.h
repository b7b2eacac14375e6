#pragma once

#include "server/http/httpoptions.h"
#include "server/passwords/passwordhash.h"
#include "server/throttle/throttlerule.h"

#include <QString>

// Everything a live server is started with: what its HTTP side holds
// connections to (HttpOptions), then the scripts, the database and the counts.
struct LiveServerOptions : HttpOptions
{
    static constexpr quint16 DefaultPort = 8421;

    LiveServerOptions() { port = DefaultPort; }

    QString database;            // "sqlite:<path>", a path, or "postgresql://..."
    bool readOnly = false;       // serve sign-ins, refuse registrations
    bool createDatabase = false; // make the database when there is none, not only open it
    QString directory = QStringLiteral("VELKA/be");
    HashCost hashCost = HashCost::interactive();
    int maxPendingHashes = 32;
    int maxValueLength = 256;
    ThrottlePolicy signInThrottle;
    // Registrations from one client (an address, or an IPv6 network of
    // ipv6PrefixLength bits) in an hour, at once after a quiet hour and then one
    // every 60 / n minutes; 0: no limit.
    int registrationsPerHour = 5;
    int ipv6PrefixLength = 64;
    int drainTimeoutMs = 20000;     // stopping: how long requests already read may take to be answered
    int databaseWaitMs = 5000;      // how long requests wait for a database that is away
    int statementTimeoutMs = 5000;  // PostgreSQL's statement_timeout; the server cuts one silent for 2 s more
    QHostAddress adminAddress = QHostAddress(QHostAddress::LocalHost);
    bool admin = false;    // metrics and health on an address of their own
    quint16 adminPort = 0; // 0 picks a free port
};

// What makes options unusable, or an empty string. The command line and
// LiveServer::start() both ask here, so each rule is written once.
QString optionsError(const LiveServerOptions &options);
