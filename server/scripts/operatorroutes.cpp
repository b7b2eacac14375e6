#include "server/scripts/liverun.h"

#include "net/liveprotocol.h"

bool LiveServer::Run::answerOperator(HttpFront &to, quint64 id, QByteArrayView path, bool admin)
{
    static const QLatin1String live("/health/live"), ready("/health/ready"), metricsPath("/metrics");
    if (path == QByteArrayView(live.data(), live.size())) {
        to.setLogPath(id, live, true);
        to.answer(id, 200, QByteArrayLiteral("live"));
    } else if (path == QByteArrayView(ready.data(), ready.size())) {
        // Ready: not stopping, and the database answers.
        const bool draining = server->isDraining();
        const bool available = !draining && m_store->ping();
        to.setLogPath(id, ready, available);
        to.answer(id, available ? 200 : 503,
                  available ? QByteArrayLiteral("ready") : draining ? QByteArrayLiteral("draining")
                                                                    : QByteArrayLiteral("database unavailable"));
    } else if (admin && path == QByteArrayView(metricsPath.data(), metricsPath.size())) {
        ServerGauges gauges;
        gauges.hashQueue = hashes.pending();
        gauges.hashes = hashes.done();
        gauges.hashSeconds = hashes.seconds();
        gauges.openConnections = front->connectionCount();
        gauges.draining = server->isDraining();
        gauges.databaseErrors = m_store->errorCount();
        gauges.databaseReconnects = m_store->reconnectCount();
        gauges.logLinesDropped = server->logLinesDropped();
        to.setLogPath(id, metricsPath, true);
        to.answer(id, 200, metricsText(metrics, gauges));
    } else {
        return false;
    }
    return true;
}

void LiveServer::Run::counted(QLatin1String path, int status, const QByteArray &body)
{
    if (path == QLatin1String(m_loginPath)) {
        if (status == 503)
            ++metrics.signInsThrottled;
        else if (status == 200)
            ++(body == LoginAccepted ? metrics.signInsAccepted : metrics.signInsRefused);
    } else if (path == QLatin1String(m_registerPath) && status == 200) {
        const int code = body.toInt();
        if (code > 0)
            ++metrics.registrationsCreated;
        else
            ++metrics.registrationsRefused[code];
    }
}

