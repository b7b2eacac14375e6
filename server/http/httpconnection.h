#pragma once

#include "server/http/httpexchange.h"
#include "server/http/httpoptions.h"
#include "server/http/requestreader.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QTimer>

#include <deque>
#include <memory>

class QSslConfiguration;
class QSslSocket;
class QTcpSocket;

// One client connection: its socket, the reader of its requests, its clock,
// and its answers, sent in the order their requests came so that a client may
// pipeline. Every byte passes the reader before anything of it is kept; what
// breaks the limits is refused with a status; connections left idle, or not
// reading their answers, are closed. Deletes itself once its socket has gone.
//
// Our own reading rather than Qt's HTTP server: in Qt 6.4 that one has no
// limits and no timeouts, and drops the requests that came in one piece with
// a malformed one, unanswered.
class HttpConnection final : public QObject
{
    Q_OBJECT

public:
    // Takes the connected socket (a QSslSocket for TLS) over.
    HttpConnection(QTcpSocket *socket, const HttpOptions &options, bool readForwardedFor);
    ~HttpConnection() override;

    // Reads requests, after a TLS handshake when tls is given.
    void start(const QSslConfiguration *tls);
    // Over a cap: answered status and closed, nothing read; a TLS client,
    // which could read no plain answer, is closed before its handshake.
    void refuse(int status, const QString &why);
    // Stopping: closed now when idle, else once the request being read, or
    // the last one read, has its answer, which says Connection: close.
    void drain();
    // Requests read and not answered yet.
    int unanswered() const;

signals:
    void request(const HttpExchange &exchange);
    void logged(const QString &line);
    void closed();

private:
    friend class HttpExchange;
    using Exchange = std::shared_ptr<HttpExchange::State>;
    enum class Phase { Handshake, Reading, Closing, Gone };
    // What Qt may keep of a connection's bytes before the reader takes them: a
    // request at its largest passes in a few reads, and a client sending faster
    // than it is answered is held back by TCP rather than by our memory.
    static constexpr qint64 SocketBuffer = 64 * 1024;

    void pull();
    void dispatch();
    void reject(int status, const QString &why);
    void send();
    void hold();
    // httpconnectionend.cpp: the clock, the lingering close, the client gone.
    void arm(int ms);
    void timedOut();
    void finish();
    void linger();
    void probe();
    // status: the one the log gives the refusal, 0 for "aborted".
    void abort(const QString &why, int status = 0);
    void gone();
    qint64 unsent() const;
    void log(const HttpExchange::State &exchange, int sentStatus);

    QTcpSocket *m_socket;
    QSslSocket *const m_secure; // the same socket when it speaks TLS, else null
    const HttpOptions &m_options;
    RequestReader m_reader;
    QHostAddress m_address;
    QString m_peer; // address:port, for the log
    const bool m_trusted;
    Phase m_phase = Phase::Handshake;
    std::deque<Exchange> m_queue; // read, in order, until sent
    // One timer for the connection's life: moving a deadline costs less than
    // restarting a timer at every request.
    QTimer m_timer;
    QDeadlineTimer m_deadline;
    QTimer m_probe; // looks whether the client is still there while it waits
    bool m_pulling = false;
    bool m_draining = false;
    bool m_finishing = false;
    bool m_shut = false;    // our side of the connection ended
    bool m_tookAny = false;
    bool m_wasMid = false;
    char m_lastByte = 0; // the last byte taken, given back to Qt to hold its reading
    int m_given = 0;     // bytes at the front of Qt's buffer the reader has had already
};
