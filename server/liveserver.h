#pragma once

#include "server/passwordhash.h"
#include "server/requestparsing.h"
#include "server/requestscanner.h"
#include "server/signinthrottle.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QThreadPool>
#include <QUrl>
#include <QUrlQuery>

#include <deque>
#include <memory>
#include <unordered_map>

class AccountStore;
class QHttpServerRequest;
class QTcpSocket;
class ConnectionGuard;
class LiveHttpFront;
struct Exchange;

struct LiveServerOptions
{
    static constexpr quint16 DefaultPort = 8421;

    QHostAddress address = QHostAddress(QHostAddress::LocalHost);
    quint16 port = DefaultPort; // 0 picks a free port
    QString database;           // "sqlite:<path>", a path, or "postgresql://..."
    bool readOnly = false;      // serve sign-ins, refuse registrations
    QString directory = QStringLiteral("VELKA/be");
    HashCost hashCost = HashCost::interactive();
    int maxPendingHashes = 32;
    int maxValueLength = 256;
    // Per connection, checked before Qt's parser reads.
    RequestLimits requestLimits;
    int maxConnections = 1000; // beyond it, new connections get 503
    int idleTimeoutMs = 30000; // idle between requests, or for one request to arrive whole
    ThrottlePolicy signInThrottle;
    QString tlsCertificate; // PEM files; both or neither
    QString tlsKey;
};

// The live server: login.php and register.php over HTTP GET, accounts in an
// AccountStore, password hashing on a pool of its own so the event loop keeps
// answering. Lives on the thread that created it.
class LiveServer : public QObject
{
    Q_OBJECT

public:
    explicit LiveServer(const LiveServerOptions &options, QObject *parent = nullptr);
    ~LiveServer() override;

    // Opens the store and starts listening; false with errorString() on failure.
    bool start();
    // Closes every connection, lets running hashes end and closes the store.
    // Answers not yet sent are dropped; nothing is half stored.
    void stop();

    bool isRunning() const;
    quint16 port() const { return m_port; }
    // scheme://address:port/directory/: what every script URL starts with.
    QUrl baseUrl() const;
    QString errorString() const { return m_error; }
    // Requests accepted and waiting for their password hash: a load gauge.
    int pendingHashes() const { return m_pendingHashes; }
    // Connections open now.
    int connectionCount() const { return int(m_connections.size()); }
    const LiveServerOptions &options() const { return m_options; }

signals:
    // One access-log line per request: never a digest, never the query.
    void requestLogged(const QString &line);

private:
    friend class LiveHttpFront;
    using Queue = std::deque<std::unique_ptr<Exchange>>;
    struct Connection
    {
        ConnectionGuard *guard = nullptr;
        Queue queue;
    };

    // A new connection from the listener; false when it was refused.
    bool admit(QTcpSocket *socket);
    void handleRequest(const QHttpServerRequest &request, QTcpSocket *socket);
    void handleLogin(Exchange &exchange, const QUrlQuery &query);
    void checkLogin(Exchange &exchange, qint64 login, const QByteArray &digest);
    void handleRegister(Exchange &exchange, const QUrlQuery &query);
    void finishLogin(quint64 id, qint64 login, bool accepted, const QByteArray &renewedHash);
    void finishRegister(quint64 id, const QStringList &details, bool news, const QByteArray &hash);

    void answer(Exchange &exchange, int status, const QByteArray &body);
    // The request still waiting under id, if its connection is still there.
    Exchange *findOpen(quint64 id, QTcpSocket **socket);
    void flush(QTcpSocket *socket);
    void forget(QTcpSocket *socket);
    void log(const Exchange &exchange, const QString &outcome);
    void logRefusal(QTcpSocket *socket, int status, const QString &why);
    // Runs work on the pool, then done on this thread unless stop() came first.
    template <typename Work, typename Done>
    void runHashing(Work work, Done done);

    LiveServerOptions m_options;
    QStringList m_directory;
    std::unique_ptr<AccountStore> m_store;
    LiveHttpFront *m_front = nullptr;
    quint16 m_port = 0;
    QString m_error;
    QByteArray m_decoyHash;
    QThreadPool m_pool;
    std::unordered_map<QTcpSocket *, Connection> m_connections; // move-only values: no QHash
    QHash<quint64, QPointer<QTcpSocket>> m_open;
    quint64 m_lastId = 0;
    quint64 m_generation = 0;
    int m_pendingHashes = 0;
    SignInThrottle m_throttle;
    QElapsedTimer m_clock;
};
