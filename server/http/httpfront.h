#pragma once

#include "server/options/serveroptions.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QObject>

#include <deque>
#include <memory>
#include <unordered_map>

class ConnectionGuard;
class QTcpServer;
class QTcpSocket;

// One whole request, as the scripts see it.
struct HttpRequest
{
    quint64 id = 0;
    QByteArray method; // as sent
    QByteArray target; // as sent: the path, then "?" and the query, percent-encoded
    QHostAddress client; // the peer, or the client a trusted proxy named
};

// The HTTP side of the live server: a listener that holds every connection to
// the request limits, the caps and the timeouts, and answers sent in the order
// their requests came on each connection, so a client may pipeline. One
// access-log line per request or refusal.
class HttpFront final : public QObject
{
    Q_OBJECT

public:
    explicit HttpFront(const LiveServerOptions &options, QObject *parent = nullptr);
    ~HttpFront() override;

    // Listens on the options' address and port, plain or TLS; false with error set.
    bool listen(QString *error);
    // Reads the TLS certificate and key again, for the connections to come;
    // false with error set, and the pair in use kept, when they cannot serve.
    bool reloadTls(QString *error);
    // Takes no more connections, and closes each open one once it has no
    // request left to answer; the last answer of each says Connection: close.
    void stopAccepting();
    quint16 port() const { return m_port; }
    int connectionCount() const { return int(m_connections.size()); }
    // Requests read and not answered yet.
    int unansweredCount() const { return int(m_owner.size()); }

    // The answer to request id; it leaves once the earlier requests of its
    // connection are answered. Nothing happens when the connection has gone.
    void answer(quint64 id, int status, const QByteArray &body = {}, int retryAfterSeconds = 1);
    // Words for the request's access-log line: why it waited, what failed.
    void note(quint64 id, const QString &text);
    // The path the access log shows for request id. The target itself is never
    // logged: a client may have put anything in it, a password digest included.
    // quiet: no log line when answered 200 (health checks every second would drown the rest).
    void setLogPath(quint64 id, QLatin1String path, bool quiet = false);

signals:
    // answer() may be called from a slot of this signal or at any later time.
    void requestArrived(const HttpRequest &request);
    // The connection of a request not yet answered has closed.
    void requestGone(quint64 id);
    void logged(const QString &line);
    // An answer has left: for the counts of a monitor.
    void answered(QLatin1String path, int status, const QByteArray &body);

private:
    struct Exchange
    {
        Exchange(quint64 id, QLatin1String method, bool close)
            : id(id), method(method), close(close)
        {
            clock.start();
        }

        quint64 id;
        QElapsedTimer clock;
        QLatin1String method;
        QLatin1String path{"-"};
        bool close;
        bool quiet = false;
        QString note;
        int status = 0; // 0: not answered yet
        int retryAfter = 1;
        QByteArray body;
    };
    struct Connection
    {
        ConnectionGuard *guard;
        QHostAddress address;
        QString peer; // address:port, for the log
        std::deque<Exchange> queue;
    };

    void accept();
    bool admit(QTcpSocket *socket);
    void arrived(QTcpSocket *socket, const QByteArray &method, const QByteArray &target, bool close,
                 const QByteArray &forwardedFor);
    bool trusted(const QHostAddress &address) const;
    Exchange *find(quint64 id, QTcpSocket **socket);
    void flush(QTcpSocket *socket);
    void forget(QTcpSocket *socket);
    // sentStatus 0: the answer never left.
    void log(const QString &peer, const Exchange &exchange, int sentStatus);

    const LiveServerOptions &m_options;
    std::unique_ptr<QTcpServer> m_listener;
    quint16 m_port = 0;
    quint64 m_lastId = 0;
    std::unordered_map<QTcpSocket *, Connection> m_connections; // move-only values: no QHash
    QHash<QHostAddress, int> m_perAddress;                       // connections open, by peer address
    QHash<quint64, QTcpSocket *> m_owner;                        // requests still queued, by id
};
