#pragma once

#include "server/http/httpexchange.h"
#include "server/http/httpoptions.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <functional>
#include <memory>

class HttpConnection;
class QSocketNotifier;
class QSslConfiguration;
class QTcpServer;

// The HTTP side of the live server: a listener that holds its connections to
// the caps (every connection counts from its accept, a TLS handshake
// included), and hands each whole request to the handler, which answers it
// through its exchange, now or later. One access-log line per request or
// refusal.
class HttpServer final : public QObject
{
    Q_OBJECT

public:
    using Handler = std::function<void(const HttpExchange &exchange)>;

    HttpServer(const HttpOptions &options, Handler handler, QObject *parent = nullptr);
    ~HttpServer() override;

    // Listens on the options' address and port, plain or TLS; false with error set.
    bool listen(QString *error);
    // Reads the TLS certificate and key again, for the connections to come;
    // false with error set, and the pair in use kept, when they cannot serve.
    bool reloadTls(QString *error);
    // Takes no more connections, and closes each open one once it has no
    // request left to answer.
    void stopAccepting();
    // Listening, and not held back by a failure to accept (out of descriptors).
    bool isAccepting() const;
    quint16 port() const { return m_port; }
    int connectionCount() const { return int(m_connections.size()); }
    // Requests read and not answered yet.
    int unansweredCount() const;

signals:
    void logged(const QString &line);

private:
    void accept();
    bool trusted(const QHostAddress &address) const;

    const HttpOptions m_options;
    Handler m_handler;
    std::unique_ptr<QSslConfiguration> m_tls;
    std::unique_ptr<QTcpServer> m_listener; // binds and listens; no more
    std::unique_ptr<QSocketNotifier> m_accepting;
    quint16 m_port = 0;
    QTimer m_resume; // accepting again after a failure to
    QSet<HttpConnection *> m_connections;
    QHash<QHostAddress, int> m_perAddress; // connections open, by peer address
};
