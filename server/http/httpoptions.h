#pragma once

#include "server/http/requestreader.h"
#include "server/log/accesslog.h"

#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>

#include <algorithm>

// What the HTTP side holds every connection to.
struct HttpOptions
{
    QHostAddress address = QHostAddress(QHostAddress::LocalHost);
    quint16 port = 0;                   // 0 picks a free port
    RequestLimits requestLimits;        // per request, checked as its bytes come in
    int maxConnections = 1000;          // beyond it, new connections get 503
    int maxConnectionsPerAddress = 100; // from one client address; beyond it, 503 for that address alone
    int idleTimeoutMs = 30000;          // idle between requests, for one request to arrive whole, or for an answer to be read
    int handshakeTimeoutMs = 10000;     // for a TLS handshake to end, or the idle timeout when shorter
    int handshakeTimeout() const { return std::min(handshakeTimeoutMs, idleTimeoutMs); }
    // Requests of one connection being answered at once; the next wait unread,
    // so a pipelining client is answered as fast as others, not before them.
    int maxRequestsInFlight = 4;
    // Proxies in front whose X-Forwarded-For names the client (its last
    // element); they have no per-address connection cap of their own.
    QList<QPair<QHostAddress, int>> trustedProxies;
    QString tlsCertificate; // PEM files; both or neither
    QString tlsKey;
    LogFormat logFormat = LogFormat::Text;
};

// An address as a URL or a log line writes it: IPv6 in brackets.
inline QString hostText(const QHostAddress &address)
{
    return address.protocol() == QAbstractSocket::IPv6Protocol ? u'[' + address.toString() + u']' : address.toString();
}
