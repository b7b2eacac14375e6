#pragma once

#include "net/liveserver.h"
#include "server/liveserver.h"

#include <QCryptographicHash>
#include <QEventLoop>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>
#include <vector>

inline const QString DigestA = QStringLiteral("0cc175b9c0f1b6a831c399e269772661");
inline const QString DigestB = QStringLiteral("92eb5ffee6ae2fec3ad71c777531578f");
inline const QString Absent = QStringLiteral("<absent>");

// Runs the event loop until done() or ms pass: a server in this process keeps answering.
template <typename Done> bool waitUntil(Done done, int ms = 20000)
{
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
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

// Raw concatenation, as the client builds it; QUrl::toEncoded() then does what its QUrl does.
inline QString registrationPath(const QString &dir, const QStringList &values)
{
    QStringList pairs;
    for (qsizetype i = 0; i < values.size(); ++i) {
        if (values[i] != Absent)
            pairs << QLatin1String(RegisterParam::Order[i]) + u'=' + values[i];
    }
    return dir + QLatin1String(LiveScript::Register) + u'?' + pairs.join(u'&');
}

inline QString signInPath(const QString &dir, qint64 login, const QString &digest)
{
    return dir + QLatin1String(LiveScript::Login) + QStringLiteral("?l=%1&p=").arg(login) + digest;
}

inline QByteArray request(const QByteArray &target, const QByteArray &fields = "Host: 127.0.0.1\r\n",
                          const QByteArray &verb = "GET")
{
    return verb + ' ' + target + " HTTP/1.1\r\n" + fields + "\r\n";
}

inline qsizetype contentLength(const QByteArray &head)
{
    const qsizetype at = head.toLower().indexOf("\r\ncontent-length:");
    return at < 0 ? 0 : head.mid(at + 17).split('\r').first().trimmed().toLongLong();
}

struct Answer
{
    int status = 0;
    QByteArray head;
    QByteArray body;
    bool closed = false; // the server closed the connection after it
};

// One request on socket, waited for with events running: the server may live on this thread.
inline Answer send(QTcpSocket &socket, quint16 port, const QByteArray &raw)
{
    const auto gone = [&] { return socket.state() == QAbstractSocket::UnconnectedState; };
    if (socket.state() != QAbstractSocket::ConnectedState) {
        socket.connectToHost(QHostAddress::LocalHost, port);
        // Refused at once, it may be closed again before it is seen connected.
        waitUntil([&] { return socket.state() == QAbstractSocket::ConnectedState || socket.bytesAvailable(); });
    }
    socket.write(raw);
    Answer a;
    QByteArray in;
    waitUntil([&] {
        in += socket.readAll();
        const qsizetype end = in.indexOf("\r\n\r\n");
        if (end < 0)
            return gone();
        a.head = in.left(end);
        return in.size() >= end + 4 + (raw.startsWith("HEAD ") ? 0 : contentLength(a.head)) || gone();
    });
    if (!a.head.isEmpty()) {
        a.status = in.mid(9, 3).toInt();
        a.body = in.mid(a.head.size() + 4);
        if (a.head.contains("Connection: close"))
            waitUntil(gone);
    }
    a.closed = gone();
    return a;
}

// The reference server in this process, on a fresh database for every test.
struct LocalServer
{
    QTemporaryDir dir;
    QString db;
    int serial = 0;
    std::unique_ptr<LiveServer> server;
    QStringList log;

    void fresh()
    {
        server.reset();
        db = dir.filePath(QStringLiteral("accounts-%1.sqlite").arg(++serial));
        log.clear();
    }
    bool start(LiveServerOptions options = {})
    {
        server.reset();
        options.port = 0;
        if (options.database.isEmpty())
            options.database = db;
        if (options.hashCost == HashCost::interactive())
            options.hashCost = HashCost::minimum();
        server = std::make_unique<LiveServer>(options);
        QObject::connect(server.get(), &LiveServer::requestLogged, server.get(), [this](const QString &l) { log << l; });
        if (!server->start())
            qWarning() << server->errorString();
        return server->isRunning();
    }
    bool start(void (*change)(LiveServerOptions &))
    {
        LiveServerOptions options;
        change(options);
        return start(options);
    }
    quint16 port() const { return server->port(); }
    QString path() const { return server->baseUrl().path(); }
    Answer get(const QString &script, const QByteArray &verb = "GET")
    {
        QTcpSocket socket;
        return send(socket, port(), request(QUrl(path() + script).toEncoded(), "Host: 127.0.0.1\r\n", verb));
    }
    qint64 registerAccount(const QStringList &values)
    {
        const Answer a = get(registrationPath({}, values));
        return a.status == 200 ? a.body.toLongLong() : -1000;
    }
    qint64 registerAccount(const QString &digest) { return registerAccount(registration(digest)); }
    QByteArray signIn(qint64 login, const QString &digest) { return get(signInPath({}, login, digest)).body; }
};

// The shipped server executable in a child process, on a free port.
struct ServerProcess
{
    QProcess process;
    QUrl base;

    ~ServerProcess() { kill(); }
    void launch(const QString &program, const QStringList &args)
    {
        process.setStandardErrorFile(QProcess::nullDevice());
        process.start(program, QStringList(args) << QStringLiteral("--port") << QStringLiteral("0"));
    }
    bool started() // once it prints its URL
    {
        waitUntil([&] { return process.canReadLine() || process.state() == QProcess::NotRunning; }, 30000);
        base = QUrl(QString::fromUtf8(process.readLine().trimmed()));
        return base.isValid() && base.port() > 0;
    }
    bool start(const QString &program, const QStringList &args)
    {
        launch(program, args);
        return started();
    }
    void kill() // SIGKILL: no chance to close anything
    {
        process.kill();
        process.waitForFinished();
    }
    quint16 port() const { return quint16(base.port()); }
};

// Many keep-alive connections, one request in flight on each, taken from one list in order.
// A broken connection is not reopened, so a server killed mid-load ends the run.
struct HttpLoad
{
    using OnAnswer = std::function<void(qsizetype index, int status, const QByteArray &body)>;
    int sent = 0;
    int answered = 0;
    int broken = 0; // sent, never answered

    // Connection i goes to ports[i % ports.size()]. True when every path was sent and answered or lost.
    bool run(const QList<quint16> &ports, int connections, const QStringList &paths, const OnAnswer &onAnswer)
    {
        struct Conn
        {
            QTcpSocket socket;
            QByteArray buffer;
            qsizetype inFlight = -1;
            bool alive = true;
        };
        std::vector<std::unique_ptr<Conn>> conns;
        qsizetype next = 0;
        const auto sendNext = [&](Conn &c) {
            if (next < paths.size() && c.alive) {
                c.inFlight = next++;
                ++sent;
                c.socket.write(request(paths.at(c.inFlight).toUtf8()));
            }
        };
        const auto lost = [&](Conn &c) {
            c.alive = false;
            broken += std::exchange(c.inFlight, -1) >= 0;
        };
        const auto read = [&](Conn &c) {
            c.buffer += c.socket.readAll();
            for (qsizetype end; (end = c.buffer.indexOf("\r\n\r\n")) >= 0 && c.inFlight >= 0;) {
                const qsizetype length = contentLength(c.buffer.left(end)), size = end + 4 + length;
                if (c.buffer.size() < size)
                    return;
                ++answered;
                onAnswer(std::exchange(c.inFlight, -1), c.buffer.mid(9, 3).toInt(), c.buffer.mid(end + 4, length));
                c.buffer.remove(0, size);
                sendNext(c);
            }
        };
        for (int i = 0; i < connections; ++i) {
            Conn *c = conns.emplace_back(std::make_unique<Conn>()).get();
            QObject::connect(&c->socket, &QTcpSocket::connected, &c->socket, [=] { sendNext(*c); });
            QObject::connect(&c->socket, &QTcpSocket::readyRead, &c->socket, [=] { read(*c); });
            QObject::connect(&c->socket, &QTcpSocket::disconnected, &c->socket, [=] { lost(*c); });
            QObject::connect(&c->socket, &QTcpSocket::errorOccurred, &c->socket, [=] { lost(*c); });
            c->socket.connectToHost(QHostAddress::LocalHost, ports.at(i % ports.size()));
        }
        // Done when every connection is lost, or every path answered.
        waitUntil([&] {
            return std::all_of(conns.cbegin(), conns.cend(), [&](const auto &c) {
                return !c->alive || (next >= paths.size() && c->inFlight < 0);
            });
        }, 120000);
        for (auto &c : conns) {
            c->socket.disconnect();
            c->socket.abort();
        }
        return next >= paths.size() && answered + broken == sent;
    }
};
