#pragma once

#include "server/scripts/passwordhash.h"
#include "server/http/requestreader.h"
#include "server/log/accesslog.h"
#include "server/scripts/signinthrottle.h"

#include <QHostAddress>
#include <QString>

struct LiveServerOptions
{
    static constexpr quint16 DefaultPort = 8421;

    QHostAddress address = QHostAddress(QHostAddress::LocalHost);
    quint16 port = DefaultPort; // 0 picks a free port
    QString database;           // "sqlite:<path>", a path, or "postgresql://..."
    bool readOnly = false;      // serve sign-ins, refuse registrations
    bool createDatabase = false; // make the database when there is none, not only open it
    QString directory = QStringLiteral("VELKA/be");
    HashCost hashCost = HashCost::interactive();
    int maxPendingHashes = 32;
    int maxValueLength = 256;
    RequestLimits requestLimits; // per request, checked before Qt's parser reads
    int maxConnections = 1000;   // beyond it, new connections get 503
    int maxConnectionsPerAddress = 100; // from one client address; beyond it, 503 for that address alone
    int idleTimeoutMs = 30000;   // idle between requests, or for one request to arrive whole
    ThrottlePolicy signInThrottle;
    // Proxies in front whose X-Forwarded-For names the client (its last
    // element); they have no per-address connection cap of their own.
    QList<QPair<QHostAddress, int>> trustedProxies;
    int drainTimeoutMs = 20000;
    int databaseWaitMs = 5000;  // how long requests wait for a database that is away // stopping: how long requests already read may take to be answered
    QHostAddress adminAddress = QHostAddress(QHostAddress::LocalHost);
    bool admin = false;    // metrics and health on an address of their own
    quint16 adminPort = 0; // 0 picks a free port
    LogFormat logFormat = LogFormat::Text;
    QString tlsCertificate; // PEM files; both or neither
    QString tlsKey;
};

// What makes options unusable, or an empty string. The command line and
// LiveServer::start() both ask here, so each rule is written once.
QString optionsError(const LiveServerOptions &options);
