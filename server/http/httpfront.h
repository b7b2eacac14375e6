#pragma once

#include "server/options/serveroptions.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHttpServerRequest>
#include <QObject>

#include <deque>
#include <unordered_map>

class ConnectionGuard;
class QAbstractHttpServer;
class QTcpSocket;

// The HTTP side of the live server: a listener that holds every connection to
// the request limits, the cap and the timeouts before Qt's parser reads it,
// and answers sent in the order their requests came on each connection, so a
// client may pipeline. One access-log line per request or refusal.
class HttpFront final : public QObject
{
    Q_OBJECT

public:
    explicit HttpFront(const LiveServerOptions &options, QObject *parent = nullptr);
    ~HttpFront() override;

    // Listens on the options' address and port, plain or TLS; false with error set.
    bool listen(QString *error);
    quint16 port() const { return m_port; }
    int connectionCount() const { return int(m_connections.size()); }

    // The answer to request id; it leaves once the earlier requests of its
    // connection are answered. Nothing happens when the connection has gone.
    void answer(quint64 id, int status, const QByteArray &body = {}, int retryAfterSeconds = 1);
    // Words for the request's access-log line: why it waited, what failed.
    void note(quint64 id, const QString &text);

signals:
    // answer() may be called from a slot of this signal or at any later time.
    void requestArrived(quint64 id, const QHttpServerRequest &request);
    // The connection of a request not yet answered has closed.
    void requestGone(quint64 id);
    void logged(const QString &line);

private:
    struct Exchange
    {
        Exchange(quint64 id, QLatin1String method, QString path)
            : id(id), method(method), path(std::move(path))
        {
            clock.start();
        }

        quint64 id;
        QElapsedTimer clock;
        QLatin1String method;
        QString path;
        QString note;
        int status = 0; // 0: not answered yet
        int retryAfter = 1;
        QByteArray body;
    };
    struct Connection
    {
        ConnectionGuard *guard;
        QString peer; // address:port, for the log
        std::deque<Exchange> queue;
    };

    bool admit(QTcpSocket *socket);
    void arrived(const QHttpServerRequest &request, QTcpSocket *socket);
    Exchange *find(quint64 id, QTcpSocket **socket);
    void flush(QTcpSocket *socket);
    void forget(QTcpSocket *socket);
    // sentStatus 0: the answer never left.
    void log(const QString &peer, const Exchange &exchange, int sentStatus);

    const LiveServerOptions &m_options;
    QAbstractHttpServer *m_parser;
    quint16 m_port = 0;
    quint64 m_lastId = 0;
    std::unordered_map<QTcpSocket *, Connection> m_connections; // move-only values: no QHash
    QHash<quint64, QTcpSocket *> m_owner; // requests still queued, by id
};
