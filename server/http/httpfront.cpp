#include "server/http/httpfront.h"

#include "server/log/accesslog.h"
#include "server/http/connectionguard.h"
#include "server/http/httpanswer.h"
#include "server/http/tlsfiles.h"

#include <QAbstractHttpServer>
#include <QTcpServer>
#include <QTcpSocket>
#if QT_CONFIG(ssl)
#include <QSslServer>
#endif

#include <functional>
#include <memory>

namespace {

using Arrival = std::function<void(const QHttpServerRequest &, QTcpSocket *)>;
using Admission = std::function<bool(QTcpSocket *)>;

// Qt's parser, handing each whole request on.
class Parser final : public QAbstractHttpServer
{
public:
    Parser(Arrival arrived, QObject *parent)
        : QAbstractHttpServer(parent)
        , m_arrived(std::move(arrived))
    {}

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override
    {
        m_arrived(request, socket);
        return true;
    }
    void missingHandler(const QHttpServerRequest &, QTcpSocket *) override {}

private:
    Arrival m_arrived;
};

// Shows each accepted connection to the front before Qt's parser sees it, so
// the guard's slot is connected first and reads first.
template <typename Base>
class GuardedListener final : public Base
{
public:
    explicit GuardedListener(Admission admit)
        : m_admit(std::move(admit))
    {}

    QTcpSocket *nextPendingConnection() override
    {
        while (QTcpSocket *socket = Base::nextPendingConnection()) {
            if (m_admit(socket))
                return socket;
        }
        return nullptr;
    }

private:
    Admission m_admit;
};

QLatin1String methodName(QHttpServerRequest::Method method)
{
    using M = QHttpServerRequest::Method;
    switch (method) {
    case M::Get: return QLatin1String("GET");
    case M::Head: return QLatin1String("HEAD");
    case M::Post: return QLatin1String("POST");
    case M::Put: return QLatin1String("PUT");
    case M::Delete: return QLatin1String("DELETE");
    case M::Options: return QLatin1String("OPTIONS");
    case M::Patch: return QLatin1String("PATCH");
    case M::Connect: return QLatin1String("CONNECT");
    case M::Trace: return QLatin1String("TRACE");
    default: return QLatin1String("?");
    }
}

QString hostText(const QHostAddress &address)
{
    return address.protocol() == QAbstractSocket::IPv6Protocol ? u'[' + address.toString() + u']'
                                                               : address.toString();
}

} // namespace

HttpFront::HttpFront(const LiveServerOptions &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_parser(new Parser([this](const QHttpServerRequest &r, QTcpSocket *s) { arrived(r, s); }, this))
{}

HttpFront::~HttpFront()
{
    // With the listener and every connection, while the queues are still here.
    delete m_parser;
}

bool HttpFront::listen(QString *error)
{
    const Admission admit = [this](QTcpSocket *socket) { return this->admit(socket); };
    std::unique_ptr<QTcpServer> listener;
    if (m_options.tlsCertificate.isEmpty()) {
        listener = std::make_unique<GuardedListener<QTcpServer>>(admit);
    } else {
#if QT_CONFIG(ssl)
        const auto configuration = loadTlsFiles(m_options.tlsCertificate, m_options.tlsKey, error);
        if (!configuration)
            return false;
        auto tls = std::make_unique<GuardedListener<QSslServer>>(admit);
        tls->setSslConfiguration(*configuration);
        // Nor may a handshake hold a connection for ever.
        tls->setHandshakeTimeout(m_options.idleTimeoutMs);
        listener = std::move(tls);
#endif
    }
    if (!listener->listen(m_options.address, m_options.port)) {
        *error = QStringLiteral("cannot listen on %1:%2: %3")
                     .arg(hostText(m_options.address))
                     .arg(m_options.port)
                     .arg(listener->errorString());
        return false;
    }
    m_port = listener->serverPort();
    m_parser->bind(listener.release());
    return true;
}

bool HttpFront::admit(QTcpSocket *socket)
{
    auto *guard = new ConnectionGuard(socket, m_parser, m_options.requestLimits, m_options.idleTimeoutMs);
    QString peer = hostText(socket->peerAddress()) + u':' + QString::number(socket->peerPort());
    connect(guard, &ConnectionGuard::refused, this, [this, peer](int status, const QString &why) {
        AccessEntry entry;
        entry.peer = peer;
        entry.status = status;
        entry.note = why;
        emit logged(accessLogLine(entry));
    });
    if (int(m_connections.size()) >= m_options.maxConnections) {
        // Answered and closed here: Qt's parser never sees it.
        connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        guard->refuse(503, QStringLiteral("too many connections"));
        return false;
    }
    m_connections.emplace(socket, Connection{guard, std::move(peer), {}});
    // The guard goes with its socket, however the socket ends.
    connect(guard, &QObject::destroyed, this, [this, socket] { forget(socket); });
    return true;
}

void HttpFront::arrived(const QHttpServerRequest &request, QTcpSocket *socket)
{
    const auto connection = m_connections.find(socket);
    if (connection == m_connections.end())
        return;
    const quint64 id = ++m_lastId;
    // Encoded, so nothing a caller puts in the path can forge a log line.
    connection->second.queue.emplace_back(id, methodName(request.method()),
                                          request.url().path(QUrl::FullyEncoded).left(200));
    connection->second.guard->setAnswersPending(true);
    m_owner.insert(id, socket);
    emit requestArrived(id, request);
}

HttpFront::Exchange *HttpFront::find(quint64 id, QTcpSocket **socket)
{
    *socket = m_owner.value(id);
    const auto connection = m_connections.find(*socket);
    if (connection == m_connections.end())
        return nullptr;
    for (Exchange &exchange : connection->second.queue) {
        if (exchange.id == id)
            return &exchange;
    }
    return nullptr;
}

void HttpFront::answer(quint64 id, int status, const QByteArray &body, int retryAfterSeconds)
{
    QTcpSocket *socket = nullptr;
    Exchange *exchange = find(id, &socket);
    if (!exchange)
        return;
    exchange->status = status;
    exchange->body = body;
    exchange->retryAfter = retryAfterSeconds;
    flush(socket);
}

void HttpFront::note(quint64 id, const QString &text)
{
    QTcpSocket *socket = nullptr;
    if (Exchange *exchange = find(id, &socket))
        exchange->note = text;
}

void HttpFront::flush(QTcpSocket *socket)
{
    const auto connection = m_connections.find(socket);
    if (connection == m_connections.end())
        return;
    std::deque<Exchange> &queue = connection->second.queue;
    while (!queue.empty() && queue.front().status != 0) {
        const Exchange &exchange = queue.front();
        m_owner.remove(exchange.id);
        const bool sent = socket->state() == QAbstractSocket::ConnectedState;
        if (sent) {
            const QByteArray fields = exchange.status == 405 ? QByteArrayLiteral("Allow: GET\r\n")
                : exchange.status == 503 ? "Retry-After: " + QByteArray::number(exchange.retryAfter) + "\r\n"
                                         : QByteArray();
            socket->write(httpAnswer(exchange.status, fields, exchange.body));
        }
        log(connection->second.peer, exchange, sent ? exchange.status : 0);
        queue.pop_front();
    }
    if (queue.empty())
        connection->second.guard->setAnswersPending(false);
}

void HttpFront::forget(QTcpSocket *socket)
{
    const auto connection = m_connections.find(socket);
    if (connection == m_connections.end())
        return;
    const Connection lost = std::move(connection->second);
    m_connections.erase(connection);
    for (const Exchange &exchange : lost.queue) {
        m_owner.remove(exchange.id);
        if (exchange.status == 0)
            emit requestGone(exchange.id);
        log(lost.peer, exchange, 0);
    }
}

void HttpFront::log(const QString &peer, const Exchange &exchange, int sentStatus)
{
    AccessEntry entry;
    entry.peer = peer;
    entry.method = exchange.method;
    entry.path = exchange.path;
    entry.status = sentStatus;
    entry.body = exchange.body;
    entry.ms = exchange.clock.elapsed();
    entry.note = exchange.note;
    emit logged(accessLogLine(entry));
}
