#pragma once

#include "server/http/requestreader.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QTimer>

class QTcpSocket;

// Reads the requests of one connection: every byte passes the request reader
// before anything of it is kept, what breaks the limits is refused with a
// status, and connections left idle are closed. Lives as a child of its socket.
//
// Our own reading rather than Qt's HTTP server: in Qt 6.4 that one has no
// limits and no timeouts, and drops the requests that came in one piece with
// a malformed one, unanswered.
class ConnectionGuard final : public QObject
{
    Q_OBJECT

public:
    ConnectionGuard(QTcpSocket *socket, const RequestLimits &limits, int idleTimeoutMs);

    // The server holds requests of this connection not yet answered; no
    // timeout runs meanwhile, and a refusal or a close waits for their answers.
    void setAnswersPending(bool pending);
    // Answers status (with Connection: close) after the pending answers, and closes.
    void refuse(int status, const QString &why);
    // No more requests are read; the connection closes once the answers written have gone.
    void closeAfterAnswers();
    // The server is stopping: closed now when idle, else after the request
    // being read, or the last one read, has its answer.
    void drain();
    // The client's address a proxy in front put in X-Forwarded-For is read
    // (from proxies the operator trusts only).
    void readForwardedFor() { m_forwardedFor = true; }
    // A request is being read or waits for its answer.
    bool busy() const { return m_answersPending || m_reader.midRequest(); }

signals:
    // A whole request: its method and target as sent, whether its client wants
    // the connection closed after the answer, and the client's address a
    // trusted proxy gave (empty: none, or not asked for).
    void requestRead(const QByteArray &method, const QByteArray &target, bool close, const QByteArray &forwardedFor);
    // For the access log: the status and why, once per connection.
    void refused(int status, const QString &why);

private:
    void readyRead();
    void arm();
    void timedOut();
    void sendRefusal();
    void closeWhenWritten();

    QTcpSocket *m_socket;
    RequestReader m_reader;
    QByteArray m_buffer; // bytes of requests not yet whole
    // One timer for the connection's life: moving a deadline costs less than
    // restarting a timer at every request.
    QTimer m_timer;
    QDeadlineTimer m_deadline;
    int m_idleTimeoutMs;
    int m_status = 0;
    bool m_answersPending = false;
    bool m_refusing = false;
    bool m_closing = false;
    bool m_draining = false;
    bool m_forwardedFor = false;
    bool m_sent = false;
};
