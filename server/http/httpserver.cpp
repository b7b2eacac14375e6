#include "server/http/httpserver.h"

#include "server/http/httpconnection.h"
#include "server/http/tlsfiles.h"

#include <QSocketNotifier>
#include <QSslSocket>
#include <QTcpServer>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <unistd.h>

HttpServer::HttpServer(const HttpOptions &options, Handler handler, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_handler(std::move(handler))
{
    m_resume.setSingleShot(true);
    m_resume.setInterval(1000);
    connect(&m_resume, &QTimer::timeout, this, [this] {
        if (m_accepting)
            m_accepting->setEnabled(true);
    });
}

HttpServer::~HttpServer()
{
    // The connections go first, while the handler they call is still here.
    for (HttpConnection *connection : std::as_const(m_connections)) {
        disconnect(connection, nullptr, this, nullptr);
        delete connection;
    }
}

bool HttpServer::listen(QString *error)
{
    if (!m_options.tlsCertificate.isEmpty()) {
        const auto configuration = loadTlsFiles(m_options.tlsCertificate, m_options.tlsKey, error);
        if (!configuration)
            return false;
        m_tls = std::make_unique<QSslConfiguration>(*configuration);
    }
    m_listener = std::make_unique<QTcpServer>();
    if (!m_listener->listen(m_options.address, m_options.port)) {
        *error = QStringLiteral("cannot listen on %1:%2: %3")
                     .arg(hostText(m_options.address))
                     .arg(m_options.port)
                     .arg(m_listener->errorString());
        return false;
    }
    m_port = m_listener->serverPort();
    // Qt binds and listens; the accepting is ours. Qt 6.4 keeps the first error
    // of a listener, the "try again" that ends every round of accepts, for good:
    // out of descriptors, it would neither stop nor say so, but spin. And every
    // connection is taken at once, a TLS one before its handshake, which then
    // runs under the caps and a timeout: none waits in a queue that, full, would
    // take no more.
    m_listener->pauseAccepting();
    m_accepting = std::make_unique<QSocketNotifier>(m_listener->socketDescriptor(), QSocketNotifier::Read);
    connect(m_accepting.get(), &QSocketNotifier::activated, this, &HttpServer::accept);
    return true;
}

bool HttpServer::reloadTls(QString *error)
{
    if (!m_tls) {
        *error = QStringLiteral("serving plain HTTP: no TLS files to read");
        return false;
    }
    const auto configuration = loadTlsFiles(m_options.tlsCertificate, m_options.tlsKey, error);
    if (!configuration)
        return false;
    *m_tls = *configuration;
    return true;
}

void HttpServer::stopAccepting()
{
    m_accepting.reset();
    if (m_listener)
        m_listener->close();
    m_resume.stop();
    for (HttpConnection *connection : std::as_const(m_connections))
        connection->drain();
}

bool HttpServer::isAccepting() const
{
    return m_accepting && m_accepting->isEnabled();
}

int HttpServer::unansweredCount() const
{
    int count = 0;
    for (const HttpConnection *connection : m_connections)
        count += connection->unanswered();
    return count;
}

void HttpServer::accept()
{
    for (;;) {
        const int descriptor = ::accept4(int(m_accepting->socket()), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (descriptor < 0) {
            const int error = errno;
            if (error == EINTR || error == ECONNABORTED)
                continue; // a client gone before its turn
            if (error != EAGAIN && error != EWOULDBLOCK) {
                // Out of descriptors, or memory: asked again a little later, not at once in a loop.
                m_accepting->setEnabled(false);
                m_resume.start();
                emit logged(messageLine(QStringLiteral("cannot accept connections (%1): trying again in 1 s")
                                            .arg(QString::fromLocal8Bit(std::strerror(error))), m_options.logFormat));
            }
            return;
        }
        QTcpSocket *socket = m_tls ? new QSslSocket : new QTcpSocket;
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            ::close(descriptor);
            continue;
        }
        const QHostAddress address = socket->peerAddress();
        // A proxy the operator trusts speaks for many clients: no share of its own.
        const bool proxy = trusted(address);
        auto *connection = new HttpConnection(socket, m_options, proxy);
        connect(connection, &HttpConnection::logged, this, &HttpServer::logged);
        // One address may not take every connection there is: the others are still served.
        const bool full = int(m_connections.size()) >= m_options.maxConnections;
        if (full || (!proxy && m_perAddress.value(address) >= m_options.maxConnectionsPerAddress)) {
            connection->refuse(503, full ? QStringLiteral("too many connections")
                                         : QStringLiteral("too many connections from this address"));
            continue;
        }
        m_connections.insert(connection);
        ++m_perAddress[address];
        connect(connection, &HttpConnection::request, this, [this](const HttpExchange &exchange) { m_handler(exchange); });
        connect(connection, &HttpConnection::closed, this, [this, connection, address] {
            m_connections.remove(connection);
            if (--m_perAddress[address] <= 0)
                m_perAddress.remove(address);
        });
        connection->start(m_tls.get());
    }
}

bool HttpServer::trusted(const QHostAddress &address) const
{
    return std::any_of(m_options.trustedProxies.cbegin(), m_options.trustedProxies.cend(),
                       [&](const QPair<QHostAddress, int> &subnet) { return address.isInSubnet(subnet); });
}
