#include "server/connectionguard.h"

#include <QTcpSocket>

ConnectionGuard::ConnectionGuard(QTcpSocket *socket, QObject *parser, const RequestLimits &limits, int idleTimeoutMs)
    : QObject(socket)
    , m_socket(socket)
    , m_parser(parser)
    , m_scanner(limits)
    , m_idleTimeoutMs(idleTimeoutMs)
{
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::CoarseTimer);
    connect(&m_timer, &QTimer::timeout, this, &ConnectionGuard::timedOut);
    m_reading = connect(socket, &QIODevice::readyRead, this, &ConnectionGuard::readyRead);
    // A connection that never says anything is idle from the start.
    m_timer.start(m_idleTimeoutMs);
}

void ConnectionGuard::readyRead()
{
    if (m_refusing) {
        // Nobody parses any more; what still comes is dropped.
        m_socket->readAll();
        return;
    }
    const bool wasMid = m_scanner.midRequest();
    const qint64 before = m_scanner.completed();
    // Only bytes the parser has not taken yet: it reads inside a transaction.
    const QByteArray fresh = m_socket->peek(m_socket->bytesAvailable());
    if (!m_anyByte && !fresh.isEmpty()) {
        m_anyByte = true;
        // A TLS handshake record: the client can read no plain answer.
        m_tlsClient = fresh.front() == '\x16';
    }
    const RequestScanner::Verdict verdict = m_scanner.feed(fresh);
    if (verdict != RequestScanner::Verdict::Ok) {
        refuse(RequestScanner::status(verdict), RequestScanner::reason(verdict),
               m_tlsClient ? QStringLiteral("TLS handshake on the plain port, closed")
                           : QString::fromLatin1(RequestScanner::reason(verdict)).toLower());
        return;
    }
    // A request must be whole within the timeout from its first byte: a
    // trickle of bytes does not keep a connection.
    if (!m_answersPending && m_scanner.midRequest() && (!wasMid || m_scanner.completed() != before))
        m_timer.start(m_idleTimeoutMs);
    // Qt's parser, on input it cannot read, cuts every connection of the
    // socket and leaves it open without an answer; look after it has run.
    if (!m_checkQueued) {
        m_checkQueued = true;
        QMetaObject::invokeMethod(this, &ConnectionGuard::checkParser, Qt::QueuedConnection);
    }
}

void ConnectionGuard::checkParser()
{
    m_checkQueued = false;
    if (!m_reading && !m_refusing)
        refuse(400, "Bad Request", QStringLiteral("unreadable request"));
}

void ConnectionGuard::setAnswersPending(bool pending)
{
    m_answersPending = pending;
    if (pending) {
        m_timer.stop();
    } else if (m_refusing) {
        sendRefusal();
    } else {
        m_timer.start(m_idleTimeoutMs);
    }
}

void ConnectionGuard::refuse(int status, const char *reason, const QString &why)
{
    if (m_refusing)
        return;
    m_refusing = true;
    m_status = status;
    m_reason = reason;
    // Take the bytes away from the parser, and the parser from the socket.
    QObject::disconnect(m_socket, &QIODevice::readyRead, m_parser, nullptr);
    if (m_socket->isTransactionStarted())
        m_socket->commitTransaction();
    m_socket->readAll();
    if (!m_reading)
        m_reading = connect(m_socket, &QIODevice::readyRead, this, &ConnectionGuard::readyRead);
    emit refused(status, why);
    if (!m_answersPending)
        sendRefusal();
    else
        m_timer.stop();
}

void ConnectionGuard::sendRefusal()
{
    if (m_sent)
        return;
    m_sent = true;
    // Qt's own clean-up may have been cut with the parser's connections.
    connect(m_socket, &QAbstractSocket::disconnected, m_socket, &QObject::deleteLater, Qt::UniqueConnection);
    if (m_tlsClient) {
        m_socket->abort();
        m_socket->deleteLater();
        return;
    }
    if (m_socket->state() == QAbstractSocket::ConnectedState) {
        m_socket->write("HTTP/1.1 " + QByteArray::number(m_status) + ' ' + m_reason
                        + "\r\nContent-Type: text/plain\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        m_socket->disconnectFromHost();
    }
    // A peer that reads nothing must not hold the socket open.
    m_timer.start(m_idleTimeoutMs);
}

void ConnectionGuard::timedOut()
{
    if (m_sent) {
        m_socket->abort();
        m_socket->deleteLater();
        return;
    }
    if (m_answersPending || m_refusing)
        return;
    if (m_scanner.midRequest())
        refuse(408, "Request Timeout", QStringLiteral("request incomplete after %1 ms").arg(m_idleTimeoutMs));
    else
        m_socket->disconnectFromHost();
}
