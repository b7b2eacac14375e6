#include "server/options/serveroptions.h"

#if QT_CONFIG(ssl)
#include <QSslSocket>
#endif

QString optionsError(const LiveServerOptions &options)
{
    if (!options.hashCost.isValid())
        return QStringLiteral("the hash cost is outside what Argon2id accepts");
    const RequestLimits &limits = options.requestLimits;
    if (options.maxPendingHashes < 1 || options.maxValueLength < 1 || options.maxConnections < 1
        || options.maxConnectionsPerAddress < 1 || options.drainTimeoutMs < 1 || options.databaseWaitMs < 1
        || options.statementTimeoutMs < 1 || options.idleTimeoutMs < 1 || options.handshakeTimeoutMs < 1
        || options.maxRequestsInFlight < 1 || limits.maxHeaderBytes < 1 || limits.maxHeaderFields < 1
        || limits.maxBody < 0 || options.registrationsPerHour < 0)
        return QStringLiteral("limits must be positive");
    if (options.ipv6PrefixLength < 1 || options.ipv6PrefixLength > 128)
        return QStringLiteral("an IPv6 prefix is 1 to 128 bits long");
    // The shortest request line a client can send: "GET / HTTP/1.1".
    if (limits.maxRequestLine < 16)
        return QStringLiteral("the request line limit must allow at least 16 bytes");
    if (options.tlsCertificate.isEmpty() != options.tlsKey.isEmpty())
        return QStringLiteral("TLS needs both a certificate and a key");
#if QT_CONFIG(ssl)
    if (!options.tlsCertificate.isEmpty() && !QSslSocket::supportsSsl())
        return QStringLiteral("no TLS backend is available");
#else
    if (!options.tlsCertificate.isEmpty())
        return QStringLiteral("this build has no TLS support");
#endif
    return {};
}
