#pragma once

#include "server/requestscanner.h"

#include <QMetaObject>
#include <QObject>
#include <QTimer>

class QTcpSocket;

// Stands between a connection and Qt's HTTP parser, which in Qt 6.4 has no
// limits and no timeouts of its own. It reads every byte first (its slot is
// connected before the parser's), refuses what breaks the limits with a
// status and closes connections left idle. Lives as a child of its socket.
class ConnectionGuard final : public QObject
{
    Q_OBJECT

public:
    // parser: the object whose readyRead slot parses the socket.
    ConnectionGuard(QTcpSocket *socket, QObject *parser, const RequestLimits &limits, int idleTimeoutMs);

    QTcpSocket *socket() const { return m_socket; }
    // The server holds requests of this connection not yet answered; no
    // timeout runs meanwhile, and a refusal waits for their answers.
    void setAnswersPending(bool pending);
    // Answers status (with Connection: close) after the pending answers, and closes.
    void refuse(int status, const char *reason, const QString &why);
    bool isRefusing() const { return m_refusing; }

signals:
    // For the access log: the status and why, once per connection.
    void refused(int status, const QString &why);

private:
    void readyRead();
    void checkParser();
    void timedOut();
    void sendRefusal();

    QTcpSocket *m_socket;
    QObject *m_parser;
    RequestScanner m_scanner;
    QTimer m_timer;
    QMetaObject::Connection m_reading;
    int m_idleTimeoutMs;
    int m_status = 0;
    QByteArray m_reason;
    bool m_answersPending = false;
    bool m_refusing = false;
    bool m_sent = false;
    bool m_checkQueued = false;
    bool m_anyByte = false;
    bool m_tlsClient = false;
};
