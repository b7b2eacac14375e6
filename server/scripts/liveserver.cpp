#include "server/scripts/liveserver.h"

#include "net/liveprotocol.h"
#include "server/accounts/storefactory.h"
#include "server/http/httpfront.h"
#include "server/scripts/hashqueue.h"
#include "server/scripts/metrics.h"
#include "server/scripts/scriptparameters.h"
#include "server/scripts/signinrecorder.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QRandomGenerator>
#include <QSet>
#include <QTimer>

#include <optional>
#include <vector>

namespace {

QByteArray scriptPath(const QStringList &directory, const char *script)
{
    return (directory.isEmpty() ? QString() : u'/' + directory.join(u'/')).toUtf8() + '/' + script;
}

} // namespace

class LiveServer::Run final : public QObject
{
public:
    Run(const LiveServerOptions &options, LiveServer *server);
    ~Run() override;

    bool start(QString *error);

    const LiveServerOptions options;
    std::unique_ptr<HttpFront> front;
    ServerMetrics metrics;
    LiveServer *const server;
    quint16 adminPort() const { return m_admin ? m_admin->port() : 0; }

private:
    void request(const HttpRequest &request);
    // /health/live, /health/ready and, on the admin address alone, /metrics.
    bool answerOperator(HttpFront &to, quint64 id, QByteArrayView path, bool admin);
    void counted(QLatin1String path, int status, const QByteArray &body);
    // A sign-in on its way: who asks, for what.
    struct Attempt
    {
        qint64 login;
        QString source; // the client's address
        QByteArray digest;
    };
    void signIn(quint64 id, const QueryParameters &query, const QHostAddress &client);
    void checkSignIn(quint64 id, const Attempt &attempt);
    void verify(quint64 id, const Attempt &attempt, AccountStore::Result found, const QByteArray &stored);
    void signInChecked(quint64 id, const Attempt &attempt, bool accepted, const QByteArray &renewedHash);
    void registration(quint64 id, const QueryParameters &query);
    void registrationHashed(quint64 id, const RegistrationRequest &request, const QByteArray &hash);
    void registered(quint64 id, AccountStore::Result result, qint64 login);
    // attempt() now and, while the database is unavailable, again once it
    // answers, for at most the database wait; then done(its last result). A
    // request whose client has gone meanwhile gets done(Failed).
    using StoreCall = std::function<AccountStore::Result()>;
    using StoreDone = std::function<void(AccountStore::Result)>;
    void whenAvailable(quint64 id, const StoreCall &attempt, const StoreDone &done, QDeadlineTimer deadline);
    void retryParked();
    // Once an outage, once its end: not once a request.
    void databaseLost();
    void databaseBack();

    const QStringList m_directory;
    // The scripts' paths as the access log shows them.
    const QByteArray m_loginPath, m_registerPath;
    std::unique_ptr<AccountStore> m_store;
    QByteArray m_decoyHash;
    std::optional<SignInThrottle> m_throttle; // on the store, once open
    QTimer m_forget;
    // Requests waiting for the database to come back, and the look whether it has.
    struct Parked
    {
        quint64 id;
        QDeadlineTimer deadline;
        std::function<void()> retry;
        StoreDone done;
    };
    std::vector<Parked> m_parked;
    QTimer m_reconnect;
    QElapsedTimer m_outage; // valid while the database is away
    QSet<quint64> m_waiting; // answered later, and their clients are still there
    SignInRecorder m_signIns; // before the store goes, it writes what it holds
    LiveServerOptions m_adminOptions;
    std::unique_ptr<HttpFront> m_admin; // metrics and health, on an address of its own

public:
    HashQueue hashes{this}; // first to go: nothing of this run is hashed after it
};

LiveServer::Run::Run(const LiveServerOptions &options, LiveServer *server)
    : options(options)
    , front(std::make_unique<HttpFront>(this->options))
    , server(server)
    , m_directory(options.directory.split(u'/', Qt::SkipEmptyParts))
    , m_loginPath(scriptPath(m_directory, LiveScript::Login))
    , m_registerPath(scriptPath(m_directory, LiveScript::Register))
{
    connect(front.get(), &HttpFront::logged, server, &LiveServer::requestLogged);
    connect(front.get(), &HttpFront::requestArrived, this, &Run::request);
    connect(front.get(), &HttpFront::requestGone, this, [this](quint64 id) {
        m_waiting.remove(id);
        hashes.gone(id);
    });
    connect(front.get(), &HttpFront::answered, this, &Run::counted);
}

LiveServer::Run::~Run()
{
    front.reset();
    m_signIns.flush();
}

bool LiveServer::Run::start(QString *error)
{
    if (!initPasswordHashing()) {
        *error = QStringLiteral("libsodium cannot be initialised");
        return false;
    }
    // Listening first: a server that cannot have its port leaves no file behind.
    // Nothing is read from the connections before start() returns.
    if (!front->listen(error))
        return false;
    if (options.admin) {
        m_adminOptions = options;
        m_adminOptions.address = options.adminAddress;
        m_adminOptions.port = options.adminPort;
        m_adminOptions.tlsCertificate.clear();
        m_adminOptions.tlsKey.clear();
        m_admin = std::make_unique<HttpFront>(m_adminOptions);
        connect(m_admin.get(), &HttpFront::logged, server, &LiveServer::requestLogged);
        connect(m_admin.get(), &HttpFront::requestArrived, this, [this](const HttpRequest &request) {
            const qsizetype mark = request.target.indexOf('?');
            if (!answerOperator(*m_admin, request.id, QByteArrayView(request.target).first(mark < 0 ? request.target.size() : mark), true))
                m_admin->answer(request.id, 404);
        });
        if (!m_admin->listen(error))
            return false;
    }
    m_store = openAccountStore(options.database, options.readOnly, options.createDatabase, error);
    if (!m_store)
        return false;
    m_signIns.setStore(m_store.get());
    m_throttle.emplace(options.signInThrottle, m_store.get());
    m_forget.start(60000);
    m_reconnect.setInterval(250);
    connect(&m_reconnect, &QTimer::timeout, this, &Run::retryParked);
    connect(&m_forget, &QTimer::timeout, this,
            [this] { m_throttle->prune(QDateTime::currentMSecsSinceEpoch()); });
    // An unknown login is checked against this, so it costs as much time as a
    // wrong password and timing does not tell which logins exist. Made now, it
    // also proves the hash cost fits in memory.
    QByteArray decoySecret(32, Qt::Uninitialized);
    for (char &c : decoySecret)
        c = "0123456789abcdef"[QRandomGenerator::system()->bounded(16)];
    m_decoyHash = hashPassword(decoySecret, options.hashCost);
    if (m_decoyHash.isEmpty()) {
        *error = QStringLiteral("cannot hash at this cost (not enough memory?)");
        return false;
    }
    return true;
}

void LiveServer::Run::request(const HttpRequest &request)
{
    const quint64 id = request.id;
    const qsizetype mark = request.target.indexOf('?');
    const QByteArray encodedPath = mark < 0 ? request.target : request.target.first(mark);
    const QString path = QString::fromUtf8(QByteArray::fromPercentEncoding(encodedPath));
    if (answerOperator(*front, id, encodedPath, false))
        return;
    const QStringView script = scriptOf(path, m_directory);
    const bool isLogin = script == QLatin1String(LiveScript::Login);
    if (!isLogin && script != QLatin1String(LiveScript::Register))
        return front->answer(id, 404);
    front->setLogPath(id, QLatin1String(isLogin ? m_loginPath : m_registerPath));
    if (request.method != "GET")
        return front->answer(id, 405);
    const QueryParameters query(mark < 0 ? QByteArray() : request.target.sliced(mark + 1));
    if (isLogin)
        signIn(id, query, request.client);
    else
        registration(id, query);
}

bool LiveServer::Run::answerOperator(HttpFront &to, quint64 id, QByteArrayView path, bool admin)
{
    static const QLatin1String live("/health/live"), ready("/health/ready"), metricsPath("/metrics");
    if (path == QByteArrayView(live.data(), live.size())) {
        to.setLogPath(id, live, true);
        to.answer(id, 200, QByteArrayLiteral("live"));
    } else if (path == QByteArrayView(ready.data(), ready.size())) {
        // Ready: not stopping, and the database answers.
        const bool draining = server->isDraining();
        const bool available = !draining && m_store->ping();
        to.setLogPath(id, ready, available);
        to.answer(id, available ? 200 : 503,
                  available ? QByteArrayLiteral("ready") : draining ? QByteArrayLiteral("draining")
                                                                    : QByteArrayLiteral("database unavailable"));
    } else if (admin && path == QByteArrayView(metricsPath.data(), metricsPath.size())) {
        ServerGauges gauges;
        gauges.hashQueue = hashes.pending();
        metrics.hashes = hashes.done();
        metrics.hashSeconds = hashes.seconds();
        gauges.openConnections = front->connectionCount();
        gauges.draining = server->isDraining();
        gauges.databaseReconnects = m_store->reconnectCount();
        gauges.logLinesDropped = server->logLinesDropped();
        metrics.databaseErrors = m_store->errorCount();
        to.setLogPath(id, metricsPath, true);
        to.answer(id, 200, metricsText(metrics, gauges));
    } else {
        return false;
    }
    return true;
}

void LiveServer::Run::counted(QLatin1String path, int status, const QByteArray &body)
{
    if (path == QLatin1String(m_loginPath)) {
        if (status == 503)
            ++metrics.signInsThrottled;
        else if (status == 200)
            ++(body == LoginAccepted ? metrics.signInsAccepted : metrics.signInsRefused);
    } else if (path == QLatin1String(m_registerPath) && status == 200) {
        const int code = body.toInt();
        if (code > 0)
            ++metrics.registrationsCreated;
        else
            ++metrics.registrationsRefused[code];
    }
}

void LiveServer::Run::signIn(quint64 id, const QueryParameters &query, const QHostAddress &client)
{
    // A missing or malformed parameter is simply a refusal.
    const SignInRequest request = parseSignIn(query);
    if (request.login == 0)
        return front->answer(id, 200, QByteArrayLiteral("0"));

    // Guessing a password costs time per login and address, whatever the
    // number of connections or servers.
    const Attempt attempt{request.login, client.toString(), request.digest};
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    int retryAfter = 1;
    const qint64 at = m_throttle->admit(attempt.login, attempt.source, now, &retryAfter);
    if (at < 0) {
        front->note(id, QStringLiteral("too many failed sign-ins"));
        return front->answer(id, 503, {}, retryAfter);
    }
    if (at <= now)
        return checkSignIn(id, attempt);
    front->note(id, QStringLiteral("slowed down %1 ms").arg(at - now));
    m_waiting.insert(id);
    QTimer::singleShot(at - now, this, [this, id, attempt] {
        if (!m_waiting.remove(id))
            return m_throttle->cancelled(attempt.login, attempt.source);
        checkSignIn(id, attempt);
    });
}

void LiveServer::Run::checkSignIn(quint64 id, const Attempt &attempt)
{
    // Sign-in has no answer for "later": a refusal would read as a wrong password.
    if (hashes.pending() >= options.maxPendingHashes) {
        m_throttle->cancelled(attempt.login, attempt.source);
        return front->answer(id, 503);
    }
    auto stored = std::make_shared<QByteArray>();
    whenAvailable(
        id, [this, attempt, stored] { return m_store->passwordHash(attempt.login, stored.get()); },
        [this, id, attempt, stored](AccountStore::Result found) { verify(id, attempt, found, *stored); },
        QDeadlineTimer(options.databaseWaitMs));
}

void LiveServer::Run::verify(quint64 id, const Attempt &attempt, AccountStore::Result found, const QByteArray &stored)
{
    if (found != AccountStore::Result::Ok && found != AccountStore::Result::NotFound) {
        m_throttle->cancelled(attempt.login, attempt.source);
        front->note(id, m_store->errorString());
        // Later, never "0": that would tell the user the password is wrong.
        return front->answer(id, 503, {}, qMax(1, options.databaseWaitMs / 1000));
    }
    const bool known = found == AccountStore::Result::Ok && !stored.isEmpty();
    const QByteArray hash = known ? stored : m_decoyHash;
    const bool mayRenew = known && !m_store->isReadOnly();
    const HashCost cost = options.hashCost;
    struct Check
    {
        bool accepted = false;
        QByteArray renewedHash;
    };
    m_waiting.insert(id);
    hashes.start(
        id,
        [hash, digest = attempt.digest, cost, mayRenew] {
            Check check{verifyPassword(hash, digest), {}};
            if (check.accepted && mayRenew && hashNeedsRenewal(hash, cost))
                check.renewedHash = hashPassword(digest, cost);
            return check;
        },
        [this, id, attempt, known](const Check &check) {
            signInChecked(id, attempt, known && check.accepted, check.renewedHash);
        },
        [this, attempt] { m_throttle->cancelled(attempt.login, attempt.source); }); // never checked
}

void LiveServer::Run::signInChecked(quint64 id, const Attempt &attempt, bool accepted, const QByteArray &renewedHash)
{
    // Counted even when the caller has gone: the guess was made.
    m_throttle->finished(attempt.login, attempt.source, accepted, QDateTime::currentMSecsSinceEpoch());
    if (!m_waiting.remove(id))
        return;
    front->answer(id, 200, accepted ? QByteArray(LoginAccepted) : QByteArrayLiteral("0"));
    if (accepted && !m_store->isReadOnly())
        m_signIns.add(attempt.login, renewedHash);
}

void LiveServer::Run::registration(quint64 id, const QueryParameters &query)
{
    const auto reject = [&](int code) { front->answer(id, 200, QByteArray::number(code)); };
    const RegistrationRequest request = parseRegistration(query, options.maxValueLength);
    if (request.error != 0)
        return reject(request.error);
    if (m_store->isReadOnly())
        return reject(RegisterError::StorageReadOnly);
    if (hashes.pending() >= options.maxPendingHashes)
        return reject(RegisterError::Busy);
    const HashCost cost = options.hashCost;
    m_waiting.insert(id);
    hashes.start(
        id, [digest = request.digest, cost] { return hashPassword(digest, cost); },
        [this, id, request](const QByteArray &hash) { registrationHashed(id, request, hash); }, [] {});
}

void LiveServer::Run::registrationHashed(quint64 id, const RegistrationRequest &request, const QByteArray &hash)
{
    // Nobody is left to learn the login: an account now would be unreachable.
    if (!m_waiting.remove(id))
        return;
    if (hash.isEmpty()) {
        front->note(id, QStringLiteral("hashing failed"));
        return front->answer(id, 200, QByteArray::number(RegisterError::Internal));
    }
    // Tried again only where it cannot make a second account: the stores say
    // Unavailable only when nothing was written.
    auto login = std::make_shared<qint64>(0);
    const NewAccount account{request.details, request.news, hash, QDateTime::currentDateTimeUtc()};
    whenAvailable(
        id, [this, account, login] { return m_store->addAccount(account, login.get()); },
        [this, id, login](AccountStore::Result result) { registered(id, result, *login); },
        QDeadlineTimer(options.databaseWaitMs));
}

void LiveServer::Run::registered(quint64 id, AccountStore::Result result, qint64 login)
{
    qint64 code = RegisterError::StorageFailure;
    switch (result) {
    case AccountStore::Result::Ok:
        code = login;
        break;
    case AccountStore::Result::ReadOnly:
        code = RegisterError::StorageReadOnly;
        break;
    case AccountStore::Result::Exhausted:
        code = RegisterError::NoLoginLeft;
        break;
    case AccountStore::Result::Gone:
        code = RegisterError::DatabaseGone;
        break;
    case AccountStore::Result::NotFound:
    case AccountStore::Result::Failed:
    case AccountStore::Result::Unavailable:
        break;
    }
    if (code <= 0)
        front->note(id, m_store->errorString());
    front->answer(id, 200, QByteArray::number(code));
}

void LiveServer::Run::whenAvailable(quint64 id, const StoreCall &attempt, const StoreDone &done, QDeadlineTimer deadline)
{
    const AccountStore::Result result = attempt();
    if (result != AccountStore::Result::Unavailable) {
        databaseBack();
        return done(result);
    }
    databaseLost();
    if (deadline.hasExpired())
        return done(result);
    m_waiting.insert(id);
    m_parked.push_back({id, deadline, [=] { whenAvailable(id, attempt, done, deadline); }, done});
    if (!m_reconnect.isActive())
        m_reconnect.start();
}

void LiveServer::Run::retryParked()
{
    // One look for all that wait, not one reconnection each.
    const bool back = m_store->ping();
    for (Parked &parked : std::exchange(m_parked, {})) {
        if (!m_waiting.remove(parked.id))
            parked.done(AccountStore::Result::Failed);
        else if (back)
            parked.retry();
        else if (parked.deadline.hasExpired())
            parked.done(AccountStore::Result::Unavailable);
        else
            m_waiting.insert(parked.id), m_parked.push_back(std::move(parked));
    }
    if (m_parked.empty())
        m_reconnect.stop();
}

void LiveServer::Run::databaseLost()
{
    if (m_outage.isValid())
        return;
    m_outage.start();
    emit server->message(QStringLiteral("database unavailable, requests wait up to %1 ms for it: %2")
                             .arg(options.databaseWaitMs)
                             .arg(m_store->errorString()));
}

void LiveServer::Run::databaseBack()
{
    if (!m_outage.isValid())
        return;
    emit server->message(QStringLiteral("database back after %1 ms").arg(m_outage.elapsed()));
    m_outage.invalidate();
}

LiveServer::LiveServer(const LiveServerOptions &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
{
    // Connections close as their answers go; a look every few milliseconds
    // costs nothing while stopping, and nothing at all the rest of the time.
    m_drain.setInterval(20);
    connect(&m_drain, &QTimer::timeout, this, [this] {
        const bool done = m_run->front->connectionCount() == 0 && m_run->hashes.pending() == 0;
        if (!done && !m_drainDeadline.hasExpired())
            return;
        const int cut = m_run->front->unansweredCount();
        m_drain.stop();
        stop();
        emit stopped(cut);
    });
}

LiveServer::~LiveServer()
{
    stop();
}

bool LiveServer::start()
{
    if (m_run)
        return true;
    m_error = optionsError(m_options);
    if (!m_error.isEmpty())
        return false;
    auto run = std::make_unique<Run>(m_options, this);
    if (!run->start(&m_error))
        return false;
    m_run = std::move(run);
    return true;
}

void LiveServer::stop()
{
    m_drain.stop();
    m_run.reset();
}

void LiveServer::stopGracefully(int timeoutMs)
{
    if (!m_run || m_drain.isActive())
        return;
    m_run->front->stopAccepting();
    m_drainDeadline.setRemainingTime(timeoutMs);
    m_drain.start();
}

bool LiveServer::reloadTls(QString *error)
{
    if (!m_run) {
        *error = QStringLiteral("not running");
        return false;
    }
    return m_run->front->reloadTls(error);
}

quint16 LiveServer::adminPort() const
{
    return m_run ? m_run->adminPort() : 0;
}

quint16 LiveServer::port() const
{
    return m_run ? m_run->front->port() : 0;
}

int LiveServer::pendingHashes() const
{
    return m_run ? m_run->hashes.pending() : 0;
}

int LiveServer::unansweredCount() const
{
    return m_run ? m_run->front->unansweredCount() : 0;
}

int LiveServer::connectionCount() const
{
    return m_run ? m_run->front->connectionCount() : 0;
}

QUrl LiveServer::baseUrl() const
{
    const QStringList directory = m_options.directory.split(u'/', Qt::SkipEmptyParts);
    QUrl url;
    url.setScheme(m_options.tlsCertificate.isEmpty() ? QStringLiteral("http") : QStringLiteral("https"));
    url.setHost(m_options.address.toString());
    url.setPort(port());
    url.setPath(directory.isEmpty() ? QStringLiteral("/") : u'/' + directory.join(u'/') + u'/');
    return url;
}
