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

bool LiveServer::Parts::databaseAnswers() const
{
    // From what the lanes' threads know, never by asking the database now: one
    // that does not answer must not hold this answer. A server that writes
    // answers when it can write.
    constexpr qint64 Stale = 1000;
    return m_signIns->answering(Stale) && (options.readOnly || m_registrations->answering(Stale));
}

bool LiveServer::Parts::ready(QByteArray *why) const
{
    if (server->isDraining())
        *why = QByteArrayLiteral("draining");
    else if (!front->isAccepting())
        *why = QByteArrayLiteral("not accepting connections");
    else if (!databaseAnswers())
        *why = QByteArrayLiteral("database unavailable");
    else
        *why = QByteArrayLiteral("ready");
    return *why == "ready";
}

void LiveServer::Parts::availabilityChanged(StoreLane *lane, bool available)
{
    if (!available) {
        // Seen even when it is over before the next look; and the other lane
        // looks now rather than at its next use: one outage, not several.
        m_sawAway = true;
        for (StoreLane *other : {m_signIns.get(), m_registrations.get()}) {
            if (other != lane)
                other->lookNow();
        }
    }
    outageSeen();
}

void LiveServer::Parts::watch()
{
    // A statement a silent database holds is cut, so that the lane goes back
    // to finding the host that takes writes. A registration's commit may be
    // waiting for a synchronous standby, a wait no cut ends (the session stays,
    // waiting, and the next is opened beside it): that lane is given longer.
    m_signIns->cutIfStuck(options.statementTimeoutMs + 2000);
    m_registrations->cutIfStuck(std::max(options.statementTimeoutMs + 2000, RegistrationCutMs));
    outageSeen();
}

void LiveServer::Parts::outageSeen()
{
    // The log says what readiness says, once an outage and once at its end.
    const bool away = std::exchange(m_sawAway, false) || !databaseAnswers();
    if (away == m_outage.isValid())
        return;
    if (away) {
        m_outage.start();
        const QString why = m_signIns->lastError().isEmpty() ? m_registrations->lastError() : m_signIns->lastError();
        emit server->message(QStringLiteral("database unavailable, requests wait up to %1 ms for it: %2")
                                 .arg(options.databaseWaitMs)
                                 .arg(why.isEmpty() ? QStringLiteral("no answer") : why.simplified()));
    } else {
        emit server->message(QStringLiteral("database back after %1 ms").arg(m_outage.elapsed()));
        m_outage.invalidate();
    }
}
