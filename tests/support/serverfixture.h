#pragma once

// The reference server for the suites, in this process or as the shipped
// program in a child, and a client that talks to it as the program does.
#include "net/liveprotocol.h"
#include "server/handlers/liveserver.h"
#include "server/handlers/scriptparameters.h"

#include <QCryptographicHash>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <memory>

#include <sys/socket.h>

inline const QString DigestA = QStringLiteral("0cc175b9c0f1b6a831c399e269772661");
inline const QString DigestB = QStringLiteral("92eb5ffee6ae2fec3ad71c777531578f");

inline QString digestOf(int n)
{
    return QString::fromLatin1(QCryptographicHash::hash(QByteArray::number(n), QCryptographicHash::Md5).toHex());
}

// The 13 registration values in the client's order, every detail set to detail.
inline QStringList registration(const QString &digest, const QString &detail = QStringLiteral("Dupont"))
{
    return QStringList(11, detail) << digest << QStringLiteral("1");
}
inline QString registerScript(const QStringList &values) // a null value is left out
{
    QStringList pairs;
    for (qsizetype i = 0; i < values.size(); ++i) {
        if (!values[i].isNull())
            pairs << QLatin1String(RegisterParam::Order[i]) + u'=' + values[i];
    }
    return QLatin1String(LiveScript::Register) + u'?' + pairs.join(u'&');
}
inline QString signInScript(qint64 login, const QString &digest)
{
    return QStringLiteral("login.php?l=%1&p=%2").arg(login).arg(digest);
}

struct Answer { int status = 0; QByteArray body; }; // status 0: no answer came

// A script's URL as the client makes it: the text joined, then QUrl's tolerant reading.
inline QUrl scriptUrl(quint16 port, const QString &script)
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1/VELKA/be/").arg(port) + script);
}

inline Answer get(QNetworkAccessManager &manager, const QUrl &url)
{
    const std::unique_ptr<QNetworkReply> reply(manager.get(QNetworkRequest(url)));
    if (!reply->isFinished() && !QSignalSpy(reply.get(), &QNetworkReply::finished).wait(30000))
        return {};
    return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll()};
}

// Bytes no client library would send, on socket (connected first if need be); what came
// back once the server closed the connection or `answers` whole answers are in.
inline QByteArray exchange(QTcpSocket &socket, quint16 port, const QByteArray &bytes, int answers = 1)
{
    if (socket.state() == QAbstractSocket::UnconnectedState)
        socket.connectToHost(QHostAddress::LocalHost, port);
    socket.write(bytes);
    QByteArray in;
    (void)QTest::qWaitFor([&] {
        in += socket.readAll();
        int whole = 0; // every answer of ours carries its length
        for (qsizetype at = 0, end; whole < answers && (end = in.indexOf("\r\n\r\n", at)) >= 0; ++whole) {
            const qsizetype field = in.indexOf("Content-Length: ", at) + 16;
            if ((at = end + 4 + in.mid(field, end - field).split('\r').first().toInt()) > in.size())
                break;
        }
        return whole == answers || socket.state() == QAbstractSocket::UnconnectedState;
    }, 20000);
    return in;
}

// A client gone for good: its connection reset, not ended (an end may be a half-close).
inline void reset(QTcpSocket &socket)
{
    const linger now = {1, 0};
    ::setsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &now, sizeof now);
    socket.abort();
}

// A connection of the test's own to the accounts, named "inspect", as any other program would open them.
inline bool inspect(const QString &database)
{
    QSqlDatabase::removeDatabase("inspect");
    const QUrl url(database);
    QSqlDatabase db = QSqlDatabase::addDatabase(url.scheme().startsWith("postgres") ? "QPSQL" : "QSQLITE", "inspect");
    db.setHostName(url.host());
    db.setPort(url.port(5432));
    db.setUserName(url.userName());
    db.setDatabaseName(url.scheme().isEmpty() ? database : url.path().mid(1));
    return db.open();
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
    QStringList log; // the access log, kept until the server has gone
    std::unique_ptr<LiveServer> server;
    QNetworkAccessManager client;

    LocalServer() // on a free port, with the cheapest hash
    {
        options.port = 0;
        options.database = dir.filePath(QStringLiteral("accounts.sqlite"));
        options.createDatabase = true;
        options.hashCost = HashCost::minimum();
        options.registrationsPerHour = 0; // suites register many from one address
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
    Answer get(const QString &script) { return ::get(client, scriptUrl(port(), script)); }
    qint64 registerAccount(const QStringList &values) { return get(registerScript(values)).body.toLongLong(); }
    qint64 registerAccount(const QString &digest) { return registerAccount(registration(digest)); }
    QByteArray signIn(qint64 login, const QString &digest) { return get(signInScript(login, digest)).body; }
};

// The shipped program in a child process, on a free port, with the cheapest hash.
struct ServerProcess
{
    QProcess process;
    quint16 port = 0;
    QString log; // where its standard error goes: a file of its own unless told
    QTemporaryFile errors;

    ~ServerProcess() { kill(); }
    bool start(const QString &database, const QStringList &more = {}) { return launch(database, more), started(); }
    void launch(const QString &database, const QStringList &more = {}) // more: options, the last of a name counts
    {
        if (log.isEmpty() && errors.open())
            log = errors.fileName();
        process.setStandardErrorFile(log);
        process.start(QStringLiteral(VELKA_SERVER_EXE), QStringList{"--database", database, "--create-database", "--port", "0",
                                                                    "--hash-cost", "minimum", "--max-pending", "64",
                                                                    "--registrations-per-hour", "0"} + more);
    }
    bool started() // once it has printed its URL
    {
        (void)QTest::qWaitFor([&] { return process.canReadLine() || process.state() == QProcess::NotRunning; }, 30000);
        port = quint16(QUrl(QString::fromUtf8(process.readLine().trimmed())).port(0));
        QFile said(log);
        if (port == 0 && said.open(QIODevice::ReadOnly))
            qWarning("the server did not start: %s", said.readAll().constData());
        return port > 0;
    }
    void kill() // SIGKILL: no chance to close anything
    {
        process.kill();
        process.waitForFinished();
    }
};
