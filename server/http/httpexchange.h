#pragma once

#include "server/http/requestreader.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QPointer>
#include <QString>

#include <atomic>
#include <memory>

class HttpConnection;

// An answer, and what the access log says of it.
struct HttpReply
{
    HttpReply() = default;
    HttpReply(int status, QByteArray body = {}, QLatin1String route = QLatin1String("-"))
        : status(status)
        , body(std::move(body))
        , route(route)
    {}

    int status = 200;
    QByteArray body;            // text/plain
    int retryAfterSeconds = 0;  // 503: sent as Retry-After when above 0
    QLatin1String allow;        // 405: the methods the route takes
    QLatin1String route{"-"};   // what the log shows for the path: a route the server knows, never the target
    QString note;               // why, for the log
    bool quiet = false;         // no log line when answered 200 (health checks every second would drown the rest)
};

// One request and the way back to its client. Copies share it; its connection
// keeps it until it is answered and sent, or the client has gone.
class HttpExchange
{
public:
    const RequestHead &request() const { return d->head; }
    // The peer, or the client a proxy the operator trusts named.
    const QHostAddress &client() const { return d->client; }
    // The target's path, before any "?", and its query, after: as sent.
    QByteArrayView path() const;
    QByteArrayView query() const;
    bool isHead() const { return d->head.method == "HEAD"; }
    // The client has gone before its answer: from any thread.
    bool isGone() const { return d->gone; }
    // On the connection's thread, once: later answers are dropped. Sent once
    // the earlier requests of the connection are.
    void answer(HttpReply reply) const;

private:
    friend class HttpConnection;
    struct State
    {
        RequestHead head;
        QHostAddress client;
        QElapsedTimer clock;
        bool close = false; // the connection ends after this answer
        bool answered = false;
        std::atomic<bool> gone{false};
        HttpReply reply;
        QPointer<HttpConnection> connection;
    };
    explicit HttpExchange(std::shared_ptr<State> state)
        : d(std::move(state))
    {}

    std::shared_ptr<State> d;
};
