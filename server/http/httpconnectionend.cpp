#include "server/http/httpconnection.h"

#include <QSslSocket>

#include <cerrno>

#include <sys/socket.h>

// The end of a connection: stopping, its clock, a lingering close, and a
// client gone.

void HttpConnection::drain()
{
    m_draining = true;
    if (m_phase == Phase::Handshake)
        return abort(QStringLiteral("stopping"));
    if (m_phase != Phase::Reading || m_reader.midRequest())
        return; // the request being read is the last, and says so
    m_phase = Phase::Closing;
    if (m_queue.empty())
        return finish();
    m_queue.back()->close = true;
    hold();
}

void HttpConnection::arm(int ms)
{
    m_deadline.setRemainingTime(ms, Qt::CoarseTimer);
    if (!m_timer.isActive())
        m_timer.start(ms);
}

void HttpConnection::timedOut()
{
    if (!m_deadline.hasExpired()) {
        m_timer.start(int(qMax<qint64>(1, m_deadline.remainingTime())));
        return;
    }
    switch (m_phase) {
    case Phase::Handshake:
        return abort(QStringLiteral("TLS handshake not done after %1 ms").arg(m_options.handshakeTimeout()));
    case Phase::Closing:
        if (m_finishing || unsent() > 0)
            return abort(QStringLiteral("answers not read after %1 ms").arg(m_options.idleTimeoutMs));
        return; // a request still being answered: no clock runs meanwhile
    case Phase::Reading:
        if (!m_queue.empty())
            return; // no clock while an answer is being made; send() arms it again
        if (unsent() > 0)
            return abort(QStringLiteral("answers not read after %1 ms").arg(m_options.idleTimeoutMs));
        if (m_reader.midRequest())
            return reject(408, QStringLiteral("request incomplete after %1 ms").arg(m_options.idleTimeoutMs));
        m_phase = Phase::Closing;
        return finish();
    case Phase::Gone:
        return;
    }
}

void HttpConnection::finish()
{
    if (std::exchange(m_finishing, true))
        return;
    // A peer that reads nothing, or never closes, is cut at the deadline.
    arm(m_options.idleTimeoutMs);
    if (m_secure)
        return m_socket->disconnectFromHost(); // written data goes before the close
    // Our side ends once the answers are sent, and what the client still sends
    // is read and dropped until it ends its own: closed with unread bytes, the
    // connection would be reset, and the last answer perhaps lost with it.
    m_socket->setReadBufferSize(SocketBuffer);
    linger();
}

void HttpConnection::linger()
{
    m_socket->skip(m_socket->bytesAvailable());
    if (!m_shut && unsent() == 0 && !m_secure) {
        m_shut = true;
        ::shutdown(int(m_socket->socketDescriptor()), SHUT_WR);
    }
}

void HttpConnection::abort(const QString &why, int status)
{
    if (m_phase == Phase::Gone)
        return;
    if (!why.isEmpty()) {
        AccessEntry entry;
        entry.peer = m_peer;
        entry.status = status;
        entry.note = why;
        emit logged(accessLogLine(entry, m_options.logFormat));
    }
    m_socket->abort();
    gone();
}

void HttpConnection::gone()
{
    if (std::exchange(m_phase, Phase::Gone) == Phase::Gone)
        return;
    m_timer.stop();
    m_probe.stop();
    for (const Exchange &exchange : std::exchange(m_queue, {})) {
        exchange->gone = true;
        log(*exchange, 0);
    }
    emit closed();
    deleteLater();
}

void HttpConnection::probe()
{
    // Qt reads nothing while answers are due, so a connection reset by its
    // client is looked for, that the work for its requests may be dropped. Its
    // end is not: a client that half-closes after its request wants the answer.
    char byte;
    if (::recv(int(m_socket->socketDescriptor()), &byte, 1, MSG_PEEK | MSG_DONTWAIT) < 0 && errno != EAGAIN
        && errno != EWOULDBLOCK && errno != EINTR)
        abort({});
}
