#include "server/http/connectionguard.h"

#include "server/http/httpanswer.h"

#include <QTcpSocket>

ConnectionGuard::ConnectionGuard(QTcpSocket *socket, QObject *parser, const RequestLimits &limits, int idleTimeoutMs)
    : QObject(socket)
    , m_socket(socket)
    , m_parser(parser)
    , m_reader(limits)
    , m_idleTimeoutMs(idleTimeoutMs)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &ConnectionGuard::timedOut);
    connect(socket, &QIODevice::readyRead, this, &ConnectionGuard::readyRead);
    // A connection that never says anything is idle from the start.
    arm();
}

void ConnectionGuard::readyRead()
{
    if (m_refusing) {
        // Nobody parses any more; what still comes is dropped.
        m_socket->readAll();
        return;
    }
    const bool wasMid = m_reader.midRequest();
    const qint64 before = m_reader.completed();
    // Only bytes the parser has not taken yet (it reads inside a transaction),
    // through the stack when they fit.
    char small[4096];
    const qint64 available = m_socket->bytesAvailable();
    QByteArray large;
    const char *fresh = small;
    qint64 size = 0;
    if (available <= qint64(sizeof small)) {
        size = m_socket->peek(small, available);
    } else {
        large = m_socket->peek(available);
        fresh = large.constData();
        size = large.size();
    }
    const RequestReader::Verdict verdict = m_reader.feed(fresh, qMax<qint64>(size, 0));
    if (verdict != RequestReader::Verdict::Ok) {
        refuse(int(verdict), m_reader.tlsHandshake()
                                                    ? QStringLiteral("TLS handshake on the plain port, closed")
                                                    : QString::fromLatin1(RequestReader::meaning(verdict)));
        return;
    }
    // A request must be whole within the timeout from its first byte: a
    // trickle of bytes does not keep a connection.
    if (!m_answersPending && m_reader.midRequest() && (!wasMid || m_reader.completed() != before))
        arm();
}

void ConnectionGuard::setAnswersPending(bool pending)
{
    m_answersPending = pending;
    if (pending)
        return;
    if (m_refusing)
        sendRefusal();
    else
        arm();
}

void ConnectionGuard::arm()
{
    m_deadline.setRemainingTime(m_idleTimeoutMs, Qt::CoarseTimer);
    if (!m_timer.isActive())
        m_timer.start(m_idleTimeoutMs);
}

void ConnectionGuard::refuse(int status, const QString &why)
{
    if (m_refusing)
        return;
    m_refusing = true;
    m_status = status;
    // Take the bytes away from the parser, and the parser from the socket.
    QObject::disconnect(m_socket, &QIODevice::readyRead, m_parser, nullptr);
    if (m_socket->isTransactionStarted())
        m_socket->commitTransaction();
    m_socket->readAll();
    emit refused(status, why);
    if (!m_answersPending)
        sendRefusal();
}

void ConnectionGuard::sendRefusal()
{
    if (m_sent)
        return;
    m_sent = true;
    connect(m_socket, &QAbstractSocket::disconnected, m_socket, &QObject::deleteLater, Qt::UniqueConnection);
    // A TLS client could read no plain answer.
    if (m_reader.tlsHandshake()) {
        m_socket->abort();
        m_socket->deleteLater();
        return;
    }
    if (m_socket->state() == QAbstractSocket::ConnectedState) {
        m_socket->write(httpAnswer(m_status, "Connection: close\r\n"));
        m_socket->disconnectFromHost();
    }
    // A peer that reads nothing must not hold the socket open.
    m_deadline.setRemainingTime(m_idleTimeoutMs, Qt::CoarseTimer);
    m_timer.start(m_idleTimeoutMs);
}

void ConnectionGuard::timedOut()
{
    if (!m_deadline.hasExpired()) {
        m_timer.start(int(qMax<qint64>(1, m_deadline.remainingTime())));
        return;
    }
    if (m_sent) {
        m_socket->abort();
        m_socket->deleteLater();
    } else if (m_answersPending || m_refusing) {
        // No clock runs while an answer is being made; setAnswersPending(false) arms it again.
    } else if (m_reader.midRequest()) {
        refuse(408, QStringLiteral("request incomplete after %1 ms").arg(m_idleTimeoutMs));
    } else {
        m_socket->disconnectFromHost();
    }
}
