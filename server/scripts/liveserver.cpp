#include "server/scripts/liveserver.h"

#include "net/liveprotocol.h"
#include "server/accounts/storefactory.h"
#include "server/http/httpfront.h"
#include "server/scripts/hashqueue.h"
#include "server/scripts/scriptparameters.h"
#include "server/scripts/signinrecorder.h"

#include <QDateTime>
#include <QRandomGenerator>
#include <QSet>
#include <QTimer>

class LiveServer::Run final : public QObject
{
public:
    Run(const LiveServerOptions &options, LiveServer *server);
    ~Run() override;

    bool start(QString *error);

    const LiveServerOptions options;
    std::unique_ptr<HttpFront> front;

private:
    void request(quint64 id, const QHttpServerRequest &request);
    void signIn(quint64 id, const QueryParameters &query);
    void checkSignIn(quint64 id, qint64 login, const QByteArray &digest);
    void signInChecked(quint64 id, qint64 login, bool accepted, const QByteArray &renewedHash);
    void registration(quint64 id, const QueryParameters &query);
    void registrationHashed(quint64 id, const RegistrationRequest &request, const QByteArray &hash);

    const QStringList m_directory;
    std::unique_ptr<AccountStore> m_store;
    QByteArray m_decoyHash;
    SignInThrottle m_throttle;
    QElapsedTimer m_clock;
    QSet<quint64> m_waiting; // answered later, and their clients are still there
    SignInRecorder m_signIns; // before the store goes, it writes what it holds

public:
    HashQueue hashes{this}; // first to go: nothing of this run is hashed after it
};

LiveServer::Run::Run(const LiveServerOptions &options, LiveServer *server)
    : options(options)
    , front(std::make_unique<HttpFront>(this->options))
    , m_directory(options.directory.split(u'/', Qt::SkipEmptyParts))
    , m_throttle(options.signInThrottle)
{
    m_clock.start();
    connect(front.get(), &HttpFront::logged, server, &LiveServer::requestLogged);
    connect(front.get(), &HttpFront::requestArrived, this, &Run::request);
    connect(front.get(), &HttpFront::requestGone, this, [this](quint64 id) {
        m_waiting.remove(id);
        hashes.gone(id);
    });
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
    m_store = openAccountStore(options.database, options.readOnly, options.createDatabase, error);
    if (!m_store)
        return false;
    m_signIns.setStore(m_store.get());
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

void LiveServer::Run::request(quint64 id, const QHttpServerRequest &request)
{
    const QUrl url = request.url();
    const QString path = url.path(QUrl::FullyDecoded);
    const QStringView script = scriptOf(path, m_directory);
    const bool isLogin = script == QLatin1String(LiveScript::Login);
    if (!isLogin && script != QLatin1String(LiveScript::Register))
        front->answer(id, 404);
    else if (request.method() != QHttpServerRequest::Method::Get)
        front->answer(id, 405);
    else if (isLogin)
        signIn(id, QueryParameters(url));
    else
        registration(id, QueryParameters(url));
}

void LiveServer::Run::signIn(quint64 id, const QueryParameters &query)
{
    // A missing or malformed parameter is simply a refusal.
    const SignInRequest request = parseSignIn(query);
    const qint64 login = request.login;
    if (login == 0)
        return front->answer(id, 200, QByteArrayLiteral("0"));

    // Guessing a password costs time per login, whatever the number of connections.
    const qint64 now = m_clock.elapsed();
    const qint64 at = m_throttle.admit(login, now);
    if (at < 0) {
        front->note(id, QStringLiteral("too many failed sign-ins"));
        return front->answer(id, 503, {}, m_throttle.retryAfterSeconds(login, now));
    }
    if (at == now)
        return checkSignIn(id, login, request.digest);
    front->note(id, QStringLiteral("slowed down %1 ms").arg(at - now));
    m_waiting.insert(id);
    QTimer::singleShot(at - now, this, [this, id, login, digest = request.digest] {
        if (!m_waiting.remove(id))
            return m_throttle.cancelled(login);
        checkSignIn(id, login, digest);
    });
}

void LiveServer::Run::checkSignIn(quint64 id, qint64 login, const QByteArray &digest)
{
    // Sign-in has no answer for "later": a refusal would read as a wrong password.
    if (hashes.pending() >= options.maxPendingHashes) {
        m_throttle.cancelled(login);
        return front->answer(id, 503);
    }
    QByteArray stored;
    const AccountStore::Result found = m_store->passwordHash(login, &stored);
    if (found != AccountStore::Result::Ok && found != AccountStore::Result::NotFound) {
        m_throttle.cancelled(login);
        front->note(id, m_store->errorString());
        return front->answer(id, 500);
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
        [hash, digest, cost, mayRenew] {
            Check check{verifyPassword(hash, digest), {}};
            if (check.accepted && mayRenew && hashNeedsRenewal(hash, cost))
                check.renewedHash = hashPassword(digest, cost);
            return check;
        },
        [this, id, login, known](const Check &check) {
            signInChecked(id, login, known && check.accepted, check.renewedHash);
        },
        [this, login] { m_throttle.cancelled(login); }); // never checked
}

void LiveServer::Run::signInChecked(quint64 id, qint64 login, bool accepted, const QByteArray &renewedHash)
{
    // Counted even when the caller has gone: the guess was made.
    m_throttle.finished(login, accepted, m_clock.elapsed());
    if (!m_waiting.remove(id))
        return;
    front->answer(id, 200, accepted ? QByteArray(LoginAccepted) : QByteArrayLiteral("0"));
    if (accepted && !m_store->isReadOnly())
        m_signIns.add(login, renewedHash);
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
    qint64 login = 0;
    qint64 code = RegisterError::StorageFailure;
    switch (m_store->addAccount({request.details, request.news, hash, QDateTime::currentDateTimeUtc()}, &login)) {
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
        break;
    }
    if (code <= 0)
        front->note(id, m_store->errorString());
    front->answer(id, 200, QByteArray::number(code));
}

LiveServer::LiveServer(const LiveServerOptions &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
{}

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
    m_run.reset();
}

quint16 LiveServer::port() const
{
    return m_run ? m_run->front->port() : 0;
}

int LiveServer::pendingHashes() const
{
    return m_run ? m_run->hashes.pending() : 0;
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
