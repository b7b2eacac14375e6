#pragma once

#include "net/liveprotocol.h"
#include "server/liveserver.h"
#include "server/requestparsing.h"

#include <QCryptographicHash>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <optional>

inline const QString DigestA = QStringLiteral("0cc175b9c0f1b6a831c399e269772661");
inline const QString DigestB = QStringLiteral("92eb5ffee6ae2fec3ad71c777531578f");

// Runs the event loop until done() or ms pass: quicker to answer than QTest::qWaitFor, which sleeps.
template <typename Done> bool waitUntil(Done done, int ms = 20000)
{
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] { done() ? loop.quit() : void(); });
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    poll.start(2);
    if (!done())
        loop.exec();
    return done();
}

inline QString digestOf(int n)
{
    return QString::fromLatin1(QCryptographicHash::hash(QByteArray::number(n), QCryptographicHash::Md5).toHex());
}

// The 13 registration values in the client's order, every detail set to detail.
inline QStringList registration(const QString &digest, const QString &detail = QStringLiteral("Dupont"))
{
    return QStringList(11, detail) << digest << QStringLiteral("1");
}

// Targets as the client makes them: raw concatenation, then QUrl's tolerant encoding.
inline QByteArray target(const QString &scriptAndQuery)
{
    return QUrl(QStringLiteral("/VELKA/be/") + scriptAndQuery).toEncoded();
}
inline QByteArray registerTarget(const QStringList &values) // a null value is left out
{
    QStringList pairs;
    for (qsizetype i = 0; i < values.size(); ++i) {
        if (!values[i].isNull())
            pairs << QLatin1String(RegisterParam::Order[i]) + u'=' + values[i];
    }
    return target(QLatin1String(LiveScript::Register) + u'?' + pairs.join(u'&'));
}
inline QByteArray signInTarget(qint64 login, const QString &digest)
{
    return target(QStringLiteral("login.php?l=%1&p=%2").arg(login).arg(digest));
}

inline QByteArray request(const QByteArray &target, const QByteArray &fields = "Host: 127.0.0.1\r\n",
                          const QByteArray &verb = "GET")
{
    return verb + ' ' + target + " HTTP/1.1\r\n" + fields + "\r\n";
}

struct Answer
{
    int status = 0; // 0: none
    QByteArray head, body;
    bool closed = false; // the server closed the connection after it
};

// Sends raw on socket, connected first if need be, and reads one answer with events running.
inline Answer send(QTcpSocket &socket, quint16 port, const QByteArray &raw)
{
    if (socket.state() != QAbstractSocket::ConnectedState)
        socket.connectToHost(QHostAddress::LocalHost, port);
    socket.write(raw);
    Answer a;
    QByteArray in;
    waitUntil([&] {
        in += socket.readAll();
        const qsizetype end = in.indexOf("\r\n\r\n"), at = in.toLower().indexOf("\r\ncontent-length:");
        a.head = in.left(qMax(end, 0));
        const qsizetype length = at < 0 || at > end ? 0 : a.head.mid(at + 17).split('\r').first().trimmed().toLongLong();
        a.closed = socket.state() == QAbstractSocket::UnconnectedState;
        return a.closed || (end >= 0 && in.size() >= end + 4 + length && !a.head.contains("Connection: close"));
    });
    a.status = a.head.mid(9, 3).toInt();
    a.body = in.mid(a.head.size() + 4);
    return a;
}

// The first value of the first row through the test's own "inspect" connection; 0 without a row, -1 on error.
inline int sqlValue(const QString &statement)
{
    QSqlQuery query(QSqlDatabase::database(QStringLiteral("inspect")));
    if (!query.exec(statement))
        qWarning() << statement << query.lastError().text();
    return !query.isActive() ? -1 : query.next() ? query.value(0).toInt() : 0;
}

// The reference server in this process, on a database of its own unless told otherwise.
struct LocalServer
{
    QTemporaryDir dir;
    LiveServerOptions options;
    std::unique_ptr<LiveServer> server;
    QStringList log;

    LocalServer()
    {
        options.port = 0;
        options.database = dir.filePath(QStringLiteral("accounts.sqlite"));
        options.hashCost = HashCost::minimum();
    }
    bool start() // again: a restart on the same database
    {
        server.reset();
        server = std::make_unique<LiveServer>(options);
        QObject::connect(server.get(), &LiveServer::requestLogged, server.get(), [this](const QString &l) { log << l; });
        if (!server->start())
            qWarning() << server->errorString();
        return server->isRunning();
    }
    quint16 port() const { return server->port(); }
    Answer get(const QByteArray &target)
    {
        QTcpSocket socket;
        return send(socket, port(), request(target));
    }
    qint64 registerAccount(const QStringList &values) { return get(registerTarget(values)).body.toLongLong(); }
    qint64 registerAccount(const QString &digest) { return registerAccount(registration(digest)); }
    QByteArray signIn(qint64 login, const QString &digest) { return get(signInTarget(login, digest)).body; }
};

// The shipped executable in a child process, on a free port, with the cheapest hash.
struct ServerProcess
{
    QProcess process;
    quint16 port = 0;

    ~ServerProcess() { kill(); }
    void launch(const QString &database)
    {
        process.setStandardErrorFile(QProcess::nullDevice());
        process.start(QStringLiteral(VELKA_SERVER_EXE), {QStringLiteral("--database"), database, QStringLiteral("--port"),
                      QStringLiteral("0"), QStringLiteral("--hash-cost"), QStringLiteral("minimum"),
                      QStringLiteral("--max-pending"), QStringLiteral("64")});
    }
    bool started() // once it prints its URL
    {
        waitUntil([&] { return process.canReadLine() || process.state() == QProcess::NotRunning; }, 30000);
        port = quint16(QUrl(QString::fromUtf8(process.readLine().trimmed())).port(0));
        return port > 0;
    }
    void kill() // SIGKILL: no chance to close anything
    {
        process.kill();
        process.waitForFinished();
    }
};

// The targets in order, `parallel` at a time over as many keep-alive connections, spread over ports.
// onAnswer(index, status or 0 when unanswered, body) returns false to send no more.
// Returns how many were sent, -1 if some were not answered in time.
inline int load(const QList<quint16> &ports, int parallel, const QList<QByteArray> &targets,
                const std::function<bool(qsizetype, int, const QByteArray &)> &onAnswer)
{
    qsizetype next = 0;
    QSet<QNetworkReply *> inFlight;
    bool more = true;
    std::function<void()> sendNext;
    std::vector<std::unique_ptr<QNetworkAccessManager>> managers; // six connections to a server each
    while (managers.size() * 6 < size_t(parallel))
        managers.emplace_back(new QNetworkAccessManager);
    sendNext = [&] {
        const qsizetype i = next++;
        const QUrl url(QStringLiteral("http://127.0.0.1:%1").arg(ports[i % ports.size()]) + QString::fromLatin1(targets[i]));
        QNetworkReply *reply = managers[size_t(i) % managers.size()]->get(QNetworkRequest(url));
        inFlight.insert(reply);
        QObject::connect(reply, &QNetworkReply::finished, reply, [&, i, reply] {
            inFlight.remove(reply);
            // Network errors (below 200) leave no answer, even after a status line came in.
            const bool answered = reply->error() == QNetworkReply::NoError || reply->error() >= 200;
            const int status = answered ? reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() : 0;
            more = onAnswer(i, status, answered ? reply->readAll() : QByteArray()) && more;
            if (more && next < targets.size())
                sendNext();
        });
    };
    while (next < qMin<qsizetype>(parallel, targets.size()))
        sendNext();
    // Once told to stop, nothing still out counts: a reply to a killed server may
    // otherwise wait on a connection that never ends.
    const bool done = waitUntil([&] { return inFlight.isEmpty() || !more; }, 120000);
    for (QNetworkReply *reply : std::as_const(inFlight))
        reply->disconnect(); // they end with the managers, unheard
    return done ? int(next) : -1;
}

// count registrations at once, the i-th with digestOf(i); goOn(logins answered) false sends no more.
struct Registrations
{
    QHash<qint64, int> owner; // login -> i
    int sent = 0, refused = 0; // refused: answered without a login, or with one handed out before

    Registrations(const QList<quint16> &ports, int count, const std::function<bool(qsizetype)> &goOn = {})
    {
        QList<QByteArray> targets;
        for (int i = 0; i < count; ++i)
            targets << registerTarget(registration(digestOf(i), QString::number(i)));
        sent = load(ports, 64, targets, [&](qsizetype i, int status, const QByteArray &body) {
            const qint64 login = status == 200 ? body.toLongLong() : 0;
            if (status) {
                refused += login <= 0 || owner.contains(login);
                owner.insert(login, int(i));
            }
            return !goOn || goOn(owner.size());
        });
    }
    // How many of them sign in with their digest, through ports.
    int signInAll(const QList<quint16> &ports) const
    {
        QList<QByteArray> targets;
        for (auto it = owner.cbegin(); it != owner.cend(); ++it)
            targets << signInTarget(it.key(), digestOf(it.value()));
        int accepted = 0;
        load(ports, 32, targets, [&](qsizetype, int status, const QByteArray &body) {
            accepted += status == 200 && body == LoginAccepted;
            return true;
        });
        return accepted;
    }
};
