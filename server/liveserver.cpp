#include "server/liveserver.h"

#include "net/liveprotocol.h"
#include "server/accountstore.h"
#include "server/connectionguard.h"

#include <QAbstractHttpServer>
#include <QDateTime>
#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QMetaEnum>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#if QT_CONFIG(ssl)
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#endif

#include <algorithm>
#include <functional>

// One request from its arrival until its answer is on the wire. Answers leave
// in arrival order per connection, whatever order the hashing ends in.
struct Exchange
{
    explicit Exchange(QHttpServerResponder &&r)
        : responder(std::move(r))
    {}

    QHttpServerResponder responder;
    quint64 id = 0;
    QElapsedTimer clock;
    QString peer;
    QString method;
    QString path;
    QString note;
    bool answered = false;
    int status = 0;
    int retryAfter = 1; // seconds, with 503
    QByteArray body;
};

class LiveHttpFront final : public QAbstractHttpServer
{
public:
    explicit LiveHttpFront(LiveServer *server)
        : QAbstractHttpServer(server)
        , m_server(server)
    {}

    using QAbstractHttpServer::makeResponder;

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override
    {
        m_server->handleRequest(request, socket);
        return true;
    }
    void missingHandler(const QHttpServerRequest &, QTcpSocket *) override {}

private:
    LiveServer *m_server;
};

namespace {

// Hands each accepted connection to the server before Qt's HTTP front sees
// it, so the guard's slot reads first.
template <typename Base>
class GuardedListener final : public Base
{
public:
    explicit GuardedListener(LiveServer *server, bool (LiveServer::*admit)(QTcpSocket *))
        : m_server(server)
        , m_admit(admit)
    {}

    QTcpSocket *nextPendingConnection() override
    {
        while (QTcpSocket *socket = Base::nextPendingConnection()) {
            if ((m_server->*m_admit)(socket))
                return socket;
        }
        return nullptr;
    }

private:
    LiveServer *m_server;
    bool (LiveServer::*m_admit)(QTcpSocket *);
};

struct LoginCheck
{
    bool accepted = false;
    QByteArray renewedHash;
};

QString methodName(QHttpServerRequest::Method method)
{
    const char *key = QMetaEnum::fromType<QHttpServerRequest::Method>().valueToKey(int(method));
    return key && method != QHttpServerRequest::Method::Unknown ? QString::fromLatin1(key).toUpper()
                                                                : QStringLiteral("?");
}

QString hostText(const QHostAddress &address)
{
    return address.protocol() == QAbstractSocket::IPv6Protocol
        ? u'[' + address.toString() + u']'
        : address.toString();
}

#if QT_CONFIG(ssl)
QSslServer *makeTlsServer(const QString &certificatePath, const QString &keyPath, QString *error,
                          const std::function<QSslServer *()> &make)
{
    if (!QSslSocket::supportsSsl()) {
        *error = QStringLiteral("no TLS backend is available");
        return nullptr;
    }
    const QList<QSslCertificate> chain = QSslCertificate::fromPath(certificatePath, QSsl::Pem);
    if (chain.isEmpty()) {
        *error = QStringLiteral("no PEM certificate in %1").arg(certificatePath);
        return nullptr;
    }
    QFile keyFile(keyPath);
    if (!keyFile.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(keyPath, keyFile.errorString());
        return nullptr;
    }
    const QByteArray pem = keyFile.readAll();
    QSslKey key;
    for (const QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec}) {
        key = QSslKey(pem, algorithm, QSsl::Pem);
        if (!key.isNull())
            break;
    }
    if (key.isNull()) {
        *error = QStringLiteral("no unencrypted RSA or EC PEM key in %1").arg(keyPath);
        return nullptr;
    }
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificateChain(chain);
    configuration.setPrivateKey(key);
    QSslServer *server = make();
    server->setSslConfiguration(configuration);
    return server;
}
#endif

} // namespace

LiveServer::LiveServer(const LiveServerOptions &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_directory(options.directory.split(u'/', Qt::SkipEmptyParts))
    , m_throttle(options.signInThrottle)
{
    m_clock.start();
}

LiveServer::~LiveServer()
{
    stop();
}

bool LiveServer::isRunning() const
{
    return m_front != nullptr;
}

bool LiveServer::start()
{
    if (m_front)
        return true;
    m_error.clear();
    if (!initPasswordHashing()) {
        m_error = QStringLiteral("libsodium cannot be initialised");
        return false;
    }
    if (!m_options.hashCost.isValid()) {
        m_error = QStringLiteral("hash cost out of range");
        return false;
    }
    const RequestLimits &limits = m_options.requestLimits;
    if (m_options.maxPendingHashes < 1 || m_options.maxValueLength < 1 || m_options.maxConnections < 1
        || m_options.idleTimeoutMs < 1 || limits.maxRequestLine < 16 || limits.maxHeaderBytes < 1
        || limits.maxHeaderFields < 1 || limits.maxBody < 0) {
        m_error = QStringLiteral("limits must be positive");
        return false;
    }

    std::unique_ptr<QTcpServer> listener;
    if (m_options.tlsCertificate.isEmpty() && m_options.tlsKey.isEmpty()) {
        listener = std::make_unique<GuardedListener<QTcpServer>>(this, &LiveServer::admit);
    } else if (m_options.tlsCertificate.isEmpty() || m_options.tlsKey.isEmpty()) {
        m_error = QStringLiteral("TLS needs both a certificate and a key");
        return false;
    } else {
#if QT_CONFIG(ssl)
        QSslServer *tls = makeTlsServer(m_options.tlsCertificate, m_options.tlsKey, &m_error, [this] {
            return new GuardedListener<QSslServer>(this, &LiveServer::admit);
        });
        if (!tls)
            return false;
        // Nor may a handshake hold a connection for ever.
        tls->setHandshakeTimeout(m_options.idleTimeoutMs);
        listener.reset(tls);
#else
        m_error = QStringLiteral("this build has no TLS support");
        return false;
#endif
    }

    // Listening first: a server that cannot have its port leaves no file behind.
    // Nothing is read from the connections before the store is open.
    if (!listener->listen(m_options.address, m_options.port)) {
        m_error = QStringLiteral("cannot listen on %1:%2: %3")
                      .arg(hostText(m_options.address))
                      .arg(m_options.port)
                      .arg(listener->errorString());
        return false;
    }
    std::unique_ptr<AccountStore> store = openAccountStore(m_options.database, m_options.readOnly, &m_error);
    if (!store)
        return false;

    // An unknown login is checked against this, so it costs as much time as a
    // wrong password and timing does not tell which logins exist. Made now, it
    // also proves the hash cost fits in memory.
    QByteArray decoySecret(32, Qt::Uninitialized);
    for (char &c : decoySecret)
        c = "0123456789abcdef"[QRandomGenerator::system()->bounded(16)];
    const QByteArray decoyHash = hashPassword(decoySecret, m_options.hashCost);
    if (decoyHash.isEmpty()) {
        m_error = QStringLiteral("cannot hash at this cost (not enough memory?)");
        return false;
    }

    m_port = listener->serverPort();
    m_store = std::move(store);
    m_decoyHash = decoyHash;
    m_front = new LiveHttpFront(this);
    m_front->bind(listener.release());
    return true;
}

void LiveServer::stop()
{
    if (!m_front)
        return;
    // Hashing still under way finishes into the void: its answers are dropped.
    ++m_generation;
    delete m_front; // with the listener and every connection
    m_front = nullptr;
    m_pool.clear();
    m_pool.waitForDone();
    m_connections.clear();
    m_throttle.clear();
    m_open.clear();
    m_pendingHashes = 0;
    m_store.reset();
    m_port = 0;
}

QUrl LiveServer::baseUrl() const
{
    QUrl url;
    url.setScheme(m_options.tlsCertificate.isEmpty() ? QStringLiteral("http") : QStringLiteral("https"));
    url.setHost(m_options.address.toString());
    url.setPort(m_port);
    url.setPath(m_directory.isEmpty() ? QStringLiteral("/") : u'/' + m_directory.join(u'/') + u'/');
    return url;
}

bool LiveServer::admit(QTcpSocket *socket)
{
    auto *guard = new ConnectionGuard(socket, m_front, m_options.requestLimits, m_options.idleTimeoutMs);
    connect(guard, &ConnectionGuard::refused, this,
            [this, socket](int status, const QString &why) { logRefusal(socket, status, why); });
    if (int(m_connections.size()) >= m_options.maxConnections) {
        // Answered and closed here: Qt's front never sees it.
        connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        guard->refuse(503, "Service Unavailable", QStringLiteral("too many connections"));
        return false;
    }
    m_connections[socket].guard = guard;
    // The guard outlives Qt's connections on the socket, which its parser may cut.
    connect(guard, &QObject::destroyed, this, [this, socket] { forget(socket); });
    return true;
}

void LiveServer::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    auto owned = std::make_unique<Exchange>(LiveHttpFront::makeResponder(request, socket));
    Exchange &exchange = *owned;
    exchange.id = ++m_lastId;
    exchange.clock.start();
    exchange.peer = hostText(request.remoteAddress()) + u':' + QString::number(socket->peerPort());
    exchange.method = methodName(request.method());
    // Encoded, so nothing a caller puts in the path can forge a log line.
    exchange.path = request.url().path(QUrl::FullyEncoded).left(200);

    Connection &connection = m_connections[socket];
    connection.queue.push_back(std::move(owned));
    if (connection.guard)
        connection.guard->setAnswersPending(true);
    m_open.insert(exchange.id, socket);

    const QString script = scriptOf(request.url().path(QUrl::FullyDecoded), m_directory);
    const bool isLogin = script == QLatin1String(LiveScript::Login);
    const bool isRegister = script == QLatin1String(LiveScript::Register);

    if (!isLogin && !isRegister)
        answer(exchange, 404, {});
    else if (request.method() != QHttpServerRequest::Method::Get)
        answer(exchange, 405, {});
    else if (isLogin)
        handleLogin(exchange, QUrlQuery(request.url()));
    else
        handleRegister(exchange, QUrlQuery(request.url()));
    flush(socket);
}

template <typename Work, typename Done>
void LiveServer::runHashing(Work work, Done done)
{
    ++m_pendingHashes;
    const quint64 generation = m_generation;
    m_pool.start([this, generation, work, done] {
        auto result = work();
        QMetaObject::invokeMethod(
            this,
            [this, generation, done, result] {
                if (generation != m_generation)
                    return;
                --m_pendingHashes;
                done(result);
            },
            Qt::QueuedConnection);
    });
}

void LiveServer::handleLogin(Exchange &exchange, const QUrlQuery &query)
{
    // A missing or malformed parameter is simply a refusal.
    const SignInRequest request = parseSignIn(query);
    const qint64 login = request.login;
    if (login == 0) {
        answer(exchange, 200, QByteArrayLiteral("0"));
        return;
    }

    // Guessing a password costs time per login, whatever the number of connections.
    const qint64 now = m_clock.elapsed();
    const qint64 at = m_throttle.admit(login, now);
    if (at < 0) {
        exchange.note = QStringLiteral("too many failed sign-ins");
        exchange.retryAfter = m_throttle.retryAfterSeconds(login, now);
        answer(exchange, 503, {});
        return;
    }
    if (at == now) {
        checkLogin(exchange, login, request.digest);
        return;
    }
    exchange.note = QStringLiteral("slowed down %1 ms").arg(at - now);
    const quint64 id = exchange.id;
    const quint64 generation = m_generation;
    QTimer::singleShot(at - now, this, [this, id, generation, login, secret = request.digest] {
        if (generation != m_generation)
            return;
        QTcpSocket *socket = nullptr;
        Exchange *waiting = findOpen(id, &socket);
        if (!waiting) {
            m_throttle.cancelled(login);
            return;
        }
        checkLogin(*waiting, login, secret);
        flush(socket);
    });
}

void LiveServer::checkLogin(Exchange &exchange, qint64 login, const QByteArray &digest)
{
    // Sign-in has no answer for "later": a refusal would read as a wrong password.
    if (m_pendingHashes >= m_options.maxPendingHashes) {
        m_throttle.cancelled(login);
        answer(exchange, 503, {});
        return;
    }

    QByteArray stored;
    const AccountStore::Result found = m_store->passwordHash(login, &stored);
    if (found != AccountStore::Result::Ok && found != AccountStore::Result::NotFound) {
        m_throttle.cancelled(login);
        exchange.note = m_store->errorString();
        answer(exchange, 500, {});
        return;
    }
    const bool known = found == AccountStore::Result::Ok && !stored.isEmpty();
    const QByteArray hash = known ? stored : m_decoyHash;
    const bool mayRenew = known && !m_store->isReadOnly();
    const HashCost cost = m_options.hashCost;
    const quint64 id = exchange.id;
    runHashing(
        [hash, secret = digest, cost, mayRenew] {
            LoginCheck check;
            check.accepted = verifyPassword(hash, secret);
            if (check.accepted && mayRenew && hashNeedsRenewal(hash, cost))
                check.renewedHash = hashPassword(secret, cost);
            return check;
        },
        [this, id, login, known](const LoginCheck &check) {
            finishLogin(id, login, known && check.accepted, check.renewedHash);
        });
}

void LiveServer::finishLogin(quint64 id, qint64 login, bool accepted, const QByteArray &renewedHash)
{
    // Counted even when the caller has gone: the guess was made.
    m_throttle.finished(login, accepted, m_clock.elapsed());
    QTcpSocket *socket = nullptr;
    Exchange *exchange = findOpen(id, &socket);
    if (!exchange)
        return;
    if (accepted && !renewedHash.isEmpty()
        && m_store->replacePasswordHash(login, renewedHash) != AccountStore::Result::Ok) {
        // The old hash still verifies; the renewal is retried at the next sign-in.
        exchange->note = QStringLiteral("hash kept: ") + m_store->errorString();
    }
    answer(*exchange, 200, accepted ? QByteArray(LoginAccepted) : QByteArrayLiteral("0"));
    flush(socket);
}

void LiveServer::handleRegister(Exchange &exchange, const QUrlQuery &query)
{
    const auto reject = [&](int code) { answer(exchange, 200, QByteArray::number(code)); };

    const RegistrationRequest request = parseRegistration(query, m_options.maxValueLength);
    if (request.error != 0)
        return reject(request.error);
    if (m_store->isReadOnly())
        return reject(RegisterError::StorageReadOnly);
    if (m_pendingHashes >= m_options.maxPendingHashes)
        return reject(RegisterError::Busy);

    const HashCost cost = m_options.hashCost;
    const quint64 id = exchange.id;
    runHashing([secret = request.digest, cost] { return hashPassword(secret, cost); },
               [this, id, details = request.details, news = request.news](const QByteArray &hash) {
                   finishRegister(id, details, news, hash);
               });
}

void LiveServer::finishRegister(quint64 id, const QStringList &details, bool news, const QByteArray &hash)
{
    QTcpSocket *socket = nullptr;
    Exchange *exchange = findOpen(id, &socket);
    // Nobody is left to learn the login: an account now would be unreachable.
    if (!exchange)
        return;

    qint64 code = RegisterError::Internal;
    if (!hash.isEmpty()) {
        qint64 login = 0;
        switch (m_store->addAccount({details, news, hash, QDateTime::currentDateTimeUtc()}, &login)) {
        case AccountStore::Result::Ok:
            code = login;
            break;
        case AccountStore::Result::ReadOnly:
            code = RegisterError::StorageReadOnly;
            break;
        case AccountStore::Result::Exhausted:
            code = RegisterError::NoLoginLeft;
            break;
        case AccountStore::Result::NotFound:
        case AccountStore::Result::Failed:
            code = RegisterError::StorageFailure;
            break;
        }
        if (code <= 0)
            exchange->note = m_store->errorString();
    } else {
        exchange->note = QStringLiteral("hashing failed");
    }
    answer(*exchange, 200, QByteArray::number(code));
    flush(socket);
}

void LiveServer::answer(Exchange &exchange, int status, const QByteArray &body)
{
    exchange.answered = true;
    exchange.status = status;
    exchange.body = body;
}

Exchange *LiveServer::findOpen(quint64 id, QTcpSocket **socket)
{
    const QPointer<QTcpSocket> owner = m_open.value(id);
    if (!owner || owner->state() != QAbstractSocket::ConnectedState)
        return nullptr;
    const auto connection = m_connections.find(owner.data());
    if (connection == m_connections.end())
        return nullptr;
    for (const auto &exchange : connection->second.queue) {
        if (exchange->id == id) {
            *socket = owner.data();
            return exchange.get();
        }
    }
    return nullptr;
}

void LiveServer::flush(QTcpSocket *socket)
{
    using Status = QHttpServerResponder::StatusCode;
    for (;;) {
        const auto connection = m_connections.find(socket);
        if (connection == m_connections.end())
            return;
        Queue &queue = connection->second.queue;
        if (queue.empty()) {
            if (connection->second.guard)
                connection->second.guard->setAnswersPending(false);
            return;
        }
        if (!queue.front()->answered)
            return;
        const std::unique_ptr<Exchange> exchange = std::move(queue.front());
        queue.pop_front();
        m_open.remove(exchange->id);
        if (socket->state() != QAbstractSocket::ConnectedState) {
            log(*exchange, QStringLiteral("- aborted"));
            continue;
        }

        QHttpServerResponder &responder = exchange->responder;
        const auto status = Status(exchange->status);
        if (status == Status::Ok) {
            // No cache may keep an answer to a password.
            responder.write(exchange->body,
                            {{"Content-Type", "text/plain"}, {"Cache-Control", "no-store"}}, status);
        } else if (status == Status::MethodNotAllowed) {
            responder.write(QByteArray(), {{"Content-Type", "text/plain"}, {"Allow", "GET"}}, status);
        } else if (status == Status::ServiceUnavailable) {
            responder.write(QByteArray(),
                            {{"Content-Type", "text/plain"}, {"Retry-After", QByteArray::number(exchange->retryAfter)}},
                            status);
        } else {
            responder.write(QByteArray(), {{"Content-Type", "text/plain"}}, status);
        }
        log(*exchange, QString::number(exchange->status) + u' '
                           + (exchange->body.isEmpty() ? QStringLiteral("-") : QString::fromLatin1(exchange->body)));
    }
}

void LiveServer::forget(QTcpSocket *socket)
{
    const auto connection = m_connections.find(socket);
    if (connection == m_connections.end())
        return;
    const Queue lost = std::move(connection->second.queue);
    m_connections.erase(connection);
    for (const auto &exchange : lost) {
        m_open.remove(exchange->id);
        log(*exchange, QStringLiteral("- aborted"));
    }
}

void LiveServer::log(const Exchange &exchange, const QString &outcome)
{
    QString line = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs) + u' ' + exchange.peer
        + u' ' + exchange.method + u' ' + exchange.path + u' ' + outcome + u' '
        + QString::number(exchange.clock.elapsed()) + QLatin1String("ms");
    if (!exchange.note.isEmpty())
        line += QLatin1String(" (") + exchange.note + u')';
    emit requestLogged(line);
}

void LiveServer::logRefusal(QTcpSocket *socket, int status, const QString &why)
{
    // Refused before any request was parsed: no method, no path.
    const QString line = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs) + u' '
        + hostText(socket->peerAddress()) + u':' + QString::number(socket->peerPort()) + QLatin1String(" - - ")
        + QString::number(status) + QLatin1String(" - 0ms (") + why + u')';
    emit requestLogged(line);
}
