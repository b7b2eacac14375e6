#include "server/http/httpfront.h"

#include "server/http/connectionguard.h"
#include "server/http/httpanswer.h"
#include "server/http/tlsfiles.h"
#include "server/log/accesslog.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>
#if QT_CONFIG(ssl)
#include <QSslServer>
#endif

namespace {

// The method for the log: the ones HTTP names, anything else as "?", so that
// nothing a client makes up reaches the log.
QLatin1String methodName(const QByteArray &method)
{
    static const QLatin1String known[] = {QLatin1String("GET"),     QLatin1String("HEAD"),   QLatin1String("POST"),
                                          QLatin1String("PUT"),     QLatin1String("DELETE"), QLatin1String("OPTIONS"),
                                          QLatin1String("PATCH"),   QLatin1String("CONNECT"), QLatin1String("TRACE")};
    for (const QLatin1String name : known) {
        if (QByteArrayView(method) == QByteArrayView(name.data(), name.size()))
            return name;
    }
    return QLatin1String("?");
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
{}

HttpFront::~HttpFront()
{
    // With the listener go its connections, its children, while the queues are still here.
    m_listener.reset();
}

bool HttpFront::listen(QString *error)
{
    if (m_options.tlsCertificate.isEmpty()) {
        m_listener = std::make_unique<QTcpServer>();
    } else {
#if QT_CONFIG(ssl)
        const auto configuration = loadTlsFiles(m_options.tlsCertificate, m_options.tlsKey, error);
        if (!configuration)
            return false;
        auto tls = std::make_unique<QSslServer>();
        tls->setSslConfiguration(*configuration);
        // Nor may a handshake hold a connection for ever.
        tls->setHandshakeTimeout(m_options.idleTimeoutMs);
        m_listener = std::move(tls);
#endif
    }
    // Only connections done with their handshake are pending.
    connect(m_listener.get(), &QTcpServer::pendingConnectionAvailable, this, &HttpFront::accept);
    if (!m_listener->listen(m_options.address, m_options.port)) {
        *error = QStringLiteral("cannot listen on %1:%2: %3")
                     .arg(hostText(m_options.address))
                     .arg(m_options.port)
                     .arg(m_listener->errorString());
        return false;
    }
    m_port = m_listener->serverPort();
    return true;
}

bool HttpFront::reloadTls(QString *error)
{
#if QT_CONFIG(ssl)
    auto *tls = qobject_cast<QSslServer *>(m_listener.get());
    if (!tls) {
        *error = QStringLiteral("serving plain HTTP: no TLS files to read");
        return false;
    }
    const auto configuration = loadTlsFiles(m_options.tlsCertificate, m_options.tlsKey, error);
    if (!configuration)
        return false;
    tls->setSslConfiguration(*configuration);
    return true;
#else
    *error = QStringLiteral("this build has no TLS support");
    return false;
#endif
}

void HttpFront::stopAccepting()
{
    if (m_listener)
        m_listener->close();
    for (auto &[socket, connection] : m_connections) {
        // What is queued already leaves as it is; the last answer closes.
        if (connection.queue.empty()) {
            connection.guard->drain();
        } else {
            connection.queue.back().close = true;
            connection.guard->closeAfterAnswers();
        }
    }
}

void HttpFront::accept()
{
    while (QTcpSocket *socket = m_listener->nextPendingConnection()) {
        if (!admit(socket))
            continue;
        auto *guard = m_connections.at(socket).guard;
        connect(guard, &ConnectionGuard::requestRead, this,
                [this, socket](const QByteArray &method, const QByteArray &target, bool close, const QByteArray &client) {
                    arrived(socket, method, target, close, client);
                });
        connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
    }
}

bool HttpFront::admit(QTcpSocket *socket)
{
    auto *guard = new ConnectionGuard(socket, m_options.requestLimits, m_options.idleTimeoutMs);
    const QHostAddress address = socket->peerAddress();
    QString peer = hostText(address) + u':' + QString::number(socket->peerPort());
    connect(guard, &ConnectionGuard::refused, this, [this, peer](int status, const QString &why) {
        AccessEntry entry;
        entry.peer = peer;
        entry.status = status;
        entry.note = why;
        emit logged(accessLogLine(entry, m_options.logFormat));
    });
    // One address may not take every connection there is: the others are still served.
    // A proxy the operator trusts speaks for many clients: no share of its own.
    const bool proxy = trusted(address);
    if (proxy)
        guard->readForwardedFor();
    const bool full = int(m_connections.size()) >= m_options.maxConnections;
    if (full || (!proxy && m_perAddress.value(address) >= m_options.maxConnectionsPerAddress)) {
        // Answered and closed here: no request of it is read.
        connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        guard->refuse(503, full ? QStringLiteral("too many connections")
                                : QStringLiteral("too many connections from this address"));
        return false;
    }
    ++m_perAddress[address];
    m_connections.emplace(socket, Connection{guard, address, std::move(peer), {}});
    // The guard goes with its socket, however the socket ends.
    connect(guard, &QObject::destroyed, this, [this, socket] { forget(socket); });
    return true;
}

bool HttpFront::trusted(const QHostAddress &address) const
{
    return std::any_of(m_options.trustedProxies.cbegin(), m_options.trustedProxies.cend(),
                       [&](const QPair<QHostAddress, int> &subnet) { return address.isInSubnet(subnet); });
}

void HttpFront::arrived(QTcpSocket *socket, const QByteArray &method, const QByteArray &target, bool close,
                        const QByteArray &forwardedFor)
{
    const auto connection = m_connections.find(socket);
    if (connection == m_connections.end())
        return;
    const quint64 id = ++m_lastId;
    connection->second.queue.emplace_back(id, methodName(method), close);
    connection->second.guard->setAnswersPending(true);
    m_owner.insert(id, socket);
    QHostAddress client;
    if (forwardedFor.isEmpty() || !client.setAddress(QString::fromLatin1(forwardedFor)))
        client = connection->second.address;
    emit requestArrived({id, method, target, client});
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

void HttpFront::setLogPath(quint64 id, QLatin1String path, bool quiet)
{
    QTcpSocket *socket = nullptr;
    if (Exchange *exchange = find(id, &socket)) {
        exchange->path = path;
        exchange->quiet = quiet;
    }
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
            QByteArray fields = exchange.status == 405 ? QByteArrayLiteral("Allow: GET\r\n")
                : exchange.status == 503 ? "Retry-After: " + QByteArray::number(exchange.retryAfter) + "\r\n"
                                         : QByteArray();
            if (exchange.close)
                fields += "Connection: close\r\n";
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
    if (--m_perAddress[lost.address] <= 0)
        m_perAddress.remove(lost.address);
    for (const Exchange &exchange : lost.queue) {
        m_owner.remove(exchange.id);
        if (exchange.status == 0)
            emit requestGone(exchange.id);
        log(lost.peer, exchange, 0);
    }
}

void HttpFront::log(const QString &peer, const Exchange &exchange, int sentStatus)
{
    if (sentStatus != 0)
        emit answered(exchange.path, sentStatus, exchange.body);
    if (exchange.quiet && sentStatus == 200)
        return;
    AccessEntry entry;
    entry.peer = peer;
    entry.method = exchange.method;
    entry.path = exchange.path;
    entry.status = sentStatus;
    entry.body = exchange.body;
    entry.ms = exchange.clock.elapsed();
    entry.note = exchange.note;
    emit logged(accessLogLine(entry, m_options.logFormat));
}
