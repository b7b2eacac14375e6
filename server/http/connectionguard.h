#pragma once

#include "server/http/requestreader.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QTimer>

class QTcpSocket;

// Stands between a connection and Qt's HTTP parser, which in Qt 6.4 has no
// limits and no timeouts of its own. It sees every byte first (its slot is
// connected before the parser's), refuses what breaks the limits with a
// status, and closes connections left idle. Lives as a child of its socket.
class ConnectionGuard final : public QObject
{
    Q_OBJECT

public:
    // parser: the object whose readyRead slot parses the socket.
    ConnectionGuard(QTcpSocket *socket, QObject *parser, const RequestLimits &limits, int idleTimeoutMs);

    // The server holds requests of this connection not yet answered; no
    // timeout runs meanwhile, and a refusal waits for their answers.
    void setAnswersPending(bool pending);
    // Answers status (with Connection: close) after the pending answers, and closes.
    void refuse(int status, const QString &why);

signals:
    // For the access log: the status and why, once per connection.
    void refused(int status, const QString &why);

private:
    void readyRead();
    void arm();
    void timedOut();
    void sendRefusal();

    QTcpSocket *m_socket;
    QObject *m_parser;
    RequestReader m_reader;
    // One timer for the connection's life: moving a deadline costs less than
    // restarting a timer at every request.
    QTimer m_timer;
    QDeadlineTimer m_deadline;
    int m_idleTimeoutMs;
    int m_status = 0;
    bool m_answersPending = false;
    bool m_refusing = false;
    bool m_sent = false;
};
