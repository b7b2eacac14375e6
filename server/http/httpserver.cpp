#include "server/http/httpserver.h"

#include "server/http/httpconnection.h"
#include "server/http/tlsfiles.h"

#include <QSslSocket>
#include <QTcpServer>

#include <algorithm>

#include <unistd.h>

namespace {

// Hands out every connection at once, a TLS one before its handshake, so that
// handshakes run per connection under the caps and their timeout: none waits in
// the listener's queue, which would stop accepting once full.
class Listener final : public QTcpServer
{
public:
    explicit Listener(bool tls)
        : m_tls(tls)
    {
        setMaxPendingConnections(1 << 20);
    }

private:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = m_tls ? new QSslSocket : new QTcpSocket;
        if (socket->setSocketDescriptor(descriptor))
            return addPendingConnection(socket);
        delete socket;
        ::close(int(descriptor)); // still ours

    }

    const bool m_tls;
};

} // namespace

HttpServer::HttpServer(const HttpOptions &options, Handler handler, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_handler(std::move(handler))
{
    m_resume.setSingleShot(true);
    m_resume.setInterval(1000);
    connect(&m_resume, &QTimer::timeout, this, [this] {
        if (m_listener && m_listener->isListening())
            m_listener->resumeAccepting();
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
    m_listener = std::make_unique<Listener>(m_tls != nullptr);
    connect(m_listener.get(), &QTcpServer::newConnection, this, &HttpServer::accept);
    // Out of descriptors, Qt stops accepting for good: it is asked again a little later.
    connect(m_listener.get(), &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError) {
        emit logged(messageLine(QStringLiteral("cannot accept connections (%1): trying again in 1 s")
                                    .arg(m_listener->errorString()), m_options.logFormat));
        m_resume.start();
    });
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
    if (m_listener)
        m_listener->close();
    m_resume.stop();
    for (HttpConnection *connection : std::as_const(m_connections))
        connection->drain();
}

bool HttpServer::isAccepting() const
{
    return m_listener && m_listener->isListening() && !m_resume.isActive();
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
    while (QTcpSocket *socket = m_listener->nextPendingConnection()) {
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
