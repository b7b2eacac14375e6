#include "server/http/connectionguard.h"

#include "server/http/httpanswer.h"

#include <QTcpSocket>

namespace {

// What Qt may keep of a connection's bytes before we take them: a request
// at its largest passes in a few reads, and a client sending faster than we
// answer is held back by TCP rather than by our memory.
constexpr qint64 SocketBuffer = 64 * 1024;

} // namespace

ConnectionGuard::ConnectionGuard(QTcpSocket *socket, const RequestLimits &limits, int idleTimeoutMs)
    : QObject(socket)
    , m_socket(socket)
    , m_reader(limits, true)
    , m_idleTimeoutMs(idleTimeoutMs)
{
    socket->setReadBufferSize(SocketBuffer);
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &ConnectionGuard::timedOut);
    connect(socket, &QIODevice::readyRead, this, &ConnectionGuard::readyRead);
    // A connection that never says anything is idle from the start.
    arm();
    // Bytes that came with the handshake are already there.
    if (socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &ConnectionGuard::readyRead, Qt::QueuedConnection);
}

void ConnectionGuard::readyRead()
{
    if (m_refusing || m_closing) {
        // Nobody reads any more; what still comes is dropped.
        m_socket->readAll();
        return;
    }
    const bool wasMid = m_reader.midRequest();
    const qint64 before = m_reader.completed();
    qsizetype at = m_buffer.size();
    m_buffer += m_socket->readAll();
    qsizetype start = 0;
    while (at < m_buffer.size()) {
        at += m_reader.take(m_buffer.constData() + at, m_buffer.size() - at);
        if (m_reader.verdict() != RequestReader::Verdict::Ok) {
            // Every request before this one is answered first, in order.
            refuse(int(m_reader.verdict()), m_reader.tlsHandshake()
                                                ? QStringLiteral("TLS handshake on the plain port, closed")
                                                : QString::fromLatin1(RequestReader::meaning(m_reader.verdict())));
            return;
        }
        if (!m_reader.requestEnded())
            break;
        const RequestHead &head = m_reader.head();
        const bool close = head.close || m_draining;
        start = at;
        emit requestRead(head.method, head.target, close, m_forwardedFor ? head.forwardedFor : QByteArray());
        if (close) {
            closeAfterAnswers();
            return;
        }
    }
    m_buffer.remove(0, start);
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
    else if (m_closing)
        closeWhenWritten();
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
    if (m_refusing || m_closing)
        return;
    m_refusing = true;
    m_status = status;
    m_buffer.clear();
    m_socket->readAll();
    emit refused(status, why);
    if (!m_answersPending)
        sendRefusal();
}

void ConnectionGuard::closeAfterAnswers()
{
    if (m_refusing || m_closing)
        return;
    m_closing = true;
    m_buffer.clear();
    m_socket->readAll();
    if (!m_answersPending)
        closeWhenWritten();
}

void ConnectionGuard::drain()
{
    m_draining = true;
    if (!busy())
        closeAfterAnswers();
}

void ConnectionGuard::closeWhenWritten()
{
    if (m_sent)
        return;
    m_sent = true;
    connect(m_socket, &QAbstractSocket::disconnected, m_socket, &QObject::deleteLater, Qt::UniqueConnection);
    // Written data goes before the close.
    m_socket->disconnectFromHost();
    // A peer that reads nothing must not hold the socket open.
    m_deadline.setRemainingTime(m_idleTimeoutMs, Qt::CoarseTimer);
    m_timer.start(m_idleTimeoutMs);
}

void ConnectionGuard::sendRefusal()
{
    if (m_sent)
        return;
    // A TLS client could read no plain answer.
    if (m_reader.tlsHandshake()) {
        m_sent = true;
        m_socket->abort();
        m_socket->deleteLater();
        return;
    }
    if (m_socket->state() == QAbstractSocket::ConnectedState)
        m_socket->write(httpAnswer(m_status, "Connection: close\r\n"));
    closeWhenWritten();
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
    } else if (m_answersPending || m_refusing || m_closing) {
        // No clock runs while an answer is being made; setAnswersPending(false) arms it again.
    } else if (m_reader.midRequest()) {
        refuse(408, QStringLiteral("request incomplete after %1 ms").arg(m_idleTimeoutMs));
    } else {
        m_socket->disconnectFromHost();
    }
}
