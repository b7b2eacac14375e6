#include "server/handlers/liveparts.h"

bool LiveServer::Parts::answerOperator(const HttpExchange &exchange, bool withMetrics)
{
    static const QLatin1String live("/health/live"), readyPath("/health/ready"), metricsPath("/metrics");
    const QByteArrayView path = exchange.path();
    const auto is = [&](QLatin1String route) { return path == QByteArrayView(route.data(), route.size()); };
    QLatin1String route;
    if (is(live) || is(readyPath) || (withMetrics && is(metricsPath)))
        route = is(live) ? live : is(readyPath) ? readyPath : metricsPath;
    else
        return false;
    HttpReply reply(200, {}, route);
    const QByteArray &method = exchange.request().method;
    if (method != "GET" && method != "HEAD") {
        reply.status = 405;
        reply.allow = QLatin1String("GET, HEAD");
        answer(exchange, reply);
        return true;
    }
    reply.quiet = true; // health checks every second would drown the rest
    if (route == live) {
        reply.body = QByteArrayLiteral("live");
    } else if (route == readyPath) {
        reply.status = ready(&reply.body) ? 200 : 503;
    } else {
        ServerGauges gauges;
        gauges.hashQueue = m_hashes.pending();
        gauges.hashes = m_hashes.done();
        gauges.hashSeconds = m_hashes.seconds();
        gauges.openConnections = front->connectionCount();
        gauges.draining = server->isDraining();
        for (const StoreLane *lane : {m_signIns.get(), m_registrations.get()}) {
            gauges.databaseErrors += lane->errorCount();
            gauges.databaseReconnects += lane->reconnectCount();
        }
        gauges.logLinesDropped = server->logLinesDropped();
        reply.body = metricsText(m_metrics, gauges);
    }
    answer(exchange, reply);
    return true;
}

bool LiveServer::Parts::ready(QByteArray *why) const
{
    // From what is known here and on the lanes' threads, never by asking the
    // database now: a database that does not answer must not hold this answer.
    // A server that writes is ready when it can write.
    constexpr qint64 Stale = 1000;
    if (server->isDraining())
        *why = QByteArrayLiteral("draining");
    else if (!front->isAccepting())
        *why = QByteArrayLiteral("not accepting connections");
    else if (!m_signIns->answering(Stale) || (!options.readOnly && !m_registrations->answering(Stale)))
        *why = QByteArrayLiteral("database unavailable");
    else
        *why = QByteArrayLiteral("ready");
    return *why == "ready";
}

void LiveServer::Parts::availabilityChanged(StoreLane *lane, bool available, const QString &why)
{
    const bool wasAway = !m_away.isEmpty();
    if (available) {
        m_away.remove(lane);
    } else {
        m_away.insert(lane);
        // The other lanes look now rather than at their next use: one outage,
        // found by each in its turn, must not read as several.
        for (StoreLane *other : {m_signIns.get(), m_registrations.get()}) {
            if (other != lane)
                other->lookNow();
        }
    }
    if (!wasAway && !m_away.isEmpty()) {
        m_outage.start();
        emit server->message(QStringLiteral("database unavailable, requests wait up to %1 ms for it: %2")
                                 .arg(options.databaseWaitMs)
                                 .arg(why));
    } else if (wasAway && m_away.isEmpty()) {
        emit server->message(QStringLiteral("database back after %1 ms").arg(m_outage.elapsed()));
    }
}
