#pragma once

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QLibrary>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolBox>

#include <functional>

// A scriptable HTTP/1.1 server on 127.0.0.1 for answers the reference server
// never gives: odd bodies, error statuses, slow or held transfers, a redirect
// (any 3xx, to "/moved"); or a proxy that asks for credentials.
class LoopbackServer : public QObject
{
public:
    struct Answer
    {
        int status = 200;
        QByteArray body;
        int delayMs = 0; // between the pieces below
        bool held = false; // nothing goes out before release()...
        int partial = -1;  // ...but the head, and this many body bytes after delayMs
                           // (progress reports that come together are throttled away)
    };

    LoopbackServer()
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                socket->setParent(this);
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
            }
        });
        m_server.listen(QHostAddress::LocalHost, 0);
    }

    QString url() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort()); }
    // For requests to that script, the last part of the path; any other gets the default answer.
    void setAnswer(const QByteArray &script, const Answer &answer) { m_answers.insert(script, answer); }
    void setDefaultAnswer(const Answer &answer) { m_default = answer; }
    // A request without Proxy-Authorization gets a 407 first.
    bool challengeProxy = false;
    // The targets of the requests, in the order they came, each with its Proxy-Authorization after a space.
    QList<QByteArray> targets() const { return m_targets; }
    void release()
    {
        for (const auto &[socket, bytes] : std::exchange(m_held, {})) {
            if (socket)
                socket->write(bytes);
        }
    }

private:
    void read(QTcpSocket *socket)
    {
        // GET only: a request ends with its blank line.
        while (socket->canReadLine()) {
            const QByteArray line = socket->readLine().trimmed();
            const QByteArray target = socket->property("target").toByteArray();
            if (!line.isEmpty()) {
                if (target.isEmpty()) // of "GET <target> HTTP/1.1"
                    socket->setProperty("target", line.split(' ').value(1));
                else if (line.toLower().startsWith("proxy-authorization:"))
                    socket->setProperty("target", target + ' ' + line.mid(20).trimmed());
                continue;
            }
            m_targets << target;
            socket->setProperty("target", {});
            const QByteArray script = target.split(' ').first().split('?').first().split('/').last();
            respond(socket, challengeProxy && !target.contains(' ') ? Answer{.status = 407} : m_answers.value(script, m_default));
        }
    }

    void respond(QTcpSocket *socket, const Answer &a)
    {
        QList<QByteArray> pieces = {"HTTP/1.1 " + QByteArray::number(a.status) + " Scripted\r\nContent-Length: "
                                    + QByteArray::number(a.body.size()) + "\r\n"};
        if (a.status / 100 == 3)
            pieces[0] += "Location: /moved\r\n";
        pieces[0] += a.status == 407 ? "Proxy-Authenticate: Basic realm=\"proxy\"\r\n\r\n" : "\r\n";
        if (a.partial >= 0)
            pieces << a.body.left(a.partial) << a.body.mid(a.partial);
        else
            pieces[0] += a.body;
        const qsizetype heldFrom = !a.held ? pieces.size() : a.partial >= 0 ? 2 : 0;
        const QPointer<QTcpSocket> guard(socket);
        for (qsizetype i = 0; i < pieces.size(); ++i) {
            if (i >= heldFrom)
                m_held.append({guard, pieces[i]});
            else
                QTimer::singleShot(int(a.delayMs * i), this, [guard, piece = pieces[i]] { if (guard) guard->write(piece); });
        }
    }

    QTcpServer m_server;
    QHash<QByteArray, Answer> m_answers;
    Answer m_default;
    QList<QByteArray> m_targets;
    QList<std::pair<QPointer<QTcpSocket>, QByteArray>> m_held;
};

// A HOME of the test's own, so nothing reaches the real ~/.VELKA. Windows takes the
// home from the user's profile, never from HOME: there the suites run only under Wine
// in a prefix of their own, whose profile's .VELKA they clear before and after.
class TempHome
{
public:
    TempHome()
    {
#ifdef Q_OS_WIN
        if (!QLibrary::resolve("ntdll", "wine_get_version") || qEnvironmentVariableIsEmpty("WINEPREFIX"))
            qFatal("On Windows the suites run only under Wine, with a WINEPREFIX of their own");
#endif
        setHome(QFile::encodeName(m_path));
    }
    ~TempHome() { setHome(m_oldHome); }

    QString path() const { return m_path; }
    QString iniPath() const { return m_path + QStringLiteral("/.VELKA/velka.ini"); }
    // The settings file as a user writes it by hand.
    void writeIni(const QByteArray &text) const
    {
        QDir(path()).mkpath(QStringLiteral(".VELKA"));
        QFile file(iniPath());
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(text);
    }
    // What the file holds now, read by a settings object of its own.
    QString value(const QString &key) const { return QSettings(iniPath(), QSettings::IniFormat).value(key).toString(); }

private:
    // HOME set to home; on Windows, whose home is the profile, its .VELKA cleared instead.
    void setHome(const QByteArray &home) const
    {
#ifdef Q_OS_WIN
        Q_UNUSED(home)
        QDir(m_path + QStringLiteral("/.VELKA")).removeRecursively();
        QFile::remove(m_path + QStringLiteral("/.VELKA"));
#else
        qputenv("HOME", home);
#endif
    }

    QByteArray m_oldHome = qgetenv("HOME");
    QTemporaryDir m_dir;
#ifdef Q_OS_WIN
    QString m_path = QDir::homePath();
#else
    QString m_path = m_dir.path();
#endif
};

// A box as the closer saw it: icon, title and text on one line.
inline QString boxLine(QMessageBox::Icon icon, const QString &title, const QString &text)
{
    return QString::number(icon) + u'\t' + title + u'\t' + text;
}

// Reads every modal message box the program opens and presses its Ok, as a
// person would, so handlers that block in a box can be driven by tests.
class BoxCloser
{
public:
    BoxCloser()
    {
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            m_lines << boxLine(box->icon(), box->windowTitle(), box->text());
            if (whileOpen)
                whileOpen();
            box->button(QMessageBox::Ok) ? box->button(QMessageBox::Ok)->click() : box->reject();
        });
        m_timer.start(5);
    }
    // Every box so far, in the order they opened.
    QStringList lines() const { return m_lines; }
    // Runs while the box is still open, before Ok is pressed.
    std::function<void()> whileOpen;

private:
    QTimer m_timer;
    QStringList m_lines;
};

inline const QString PwDigest = QStringLiteral("8fe4c11451281c094a6578e6ddbf5eed"); // of "pw"

// Settings that point the client at a server of the test's own; idLines go in its [live] section.
inline QByteArray liveIni(const QString &serverUrl, const QByteArray &idLines = {})
{
    return "[live]\nserver=" + serverUrl.toUtf8() + "\ndirectory=VELKA/be\n" + idLines;
}

// The progress window: the one top-level progress bar of the program.
inline QProgressBar *progressWindow()
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *bar = qobject_cast<QProgressBar *>(w))
            return bar;
    }
    return nullptr;
}

template <typename T> T *widget(const QWidget &window, const QString &name) { return window.findChild<T *>(name); }

// Same pixels as the resource: the icon really came from ":/Icons/...". A pixmap
// keeps premultiplied alpha, so both sides are compared in that form.
inline bool sameIcon(const QIcon &icon, const QString &resource)
{
    constexpr QImage::Format Kept = QImage::Format_ARGB32_Premultiplied;
    const QImage expected = QImage(resource).convertToFormat(Kept);
    return !expected.isNull() && icon.pixmap(256).toImage().convertToFormat(Kept) == expected;
}

// What a person does at the foot of the registration page.
inline void registerByHand(const QWidget &window, const QString &password, const QString &check)
{
    widget<QLineEdit>(window, "lineEditPasswordRegister1")->setText(password);
    widget<QLineEdit>(window, "lineEditPasswordRegister2")->setText(check);
    QTest::mouseClick(widget<QPushButton>(window, "pushButtonRegister"), Qt::LeftButton);
}

// The sign-in page locked as after an accepted sign-in, every part of it.
inline bool signedIn(const QWidget &window)
{
    auto *button = widget<QPushButton>(window, "pushButtonLogin");
    auto *box = widget<QToolBox>(window, "toolBoxAccount");
    return !button->isEnabled() && button->text() == QLatin1String("Your are successfully logged")
        && !widget<QLineEdit>(window, "lineEditLogin")->isEnabled()
        && !widget<QLineEdit>(window, "lineEditPassword")->isEnabled() && !box->isItemEnabled(1)
        && sameIcon(box->itemIcon(0), ":/Icons/Check.png");
}

inline QString badRegistrationBox(const QByteArray &body)
{
    return boxLine(QMessageBox::Critical, "Bad registration",
                   "An error has occured during registration.<br/>Error code:<br/>" + QString::fromUtf8(body));
}

// A private HOME whose settings point at a loopback server, and a closer that
// answers the boxes: what every client suite starts from.
struct ClientRig
{
    TempHome home;
    LoopbackServer server;
    BoxCloser closer;

    ClientRig() { home.writeIni(liveIni(server.url())); }
    // An account kept from an earlier run, on this server or another.
    void storeAccount(const QString &login, const QString &password, const QString &url = {})
    {
        home.writeIni(liveIni(url.isEmpty() ? server.url() : url,
                              "id\\login=" + login.toUtf8() + "\nid\\password=" + password.toUtf8() + "\n"));
    }
};

#ifdef VELKA_PROBE
// The client's own start-up in a child process, under this process's HOME and environment plus
// extra; what it printed, after a first line of its own unless it ended by itself with status 0.
// This process's event loop keeps running meanwhile: the test's servers live here.
inline QString runProbe(const QProcessEnvironment &extra = {})
{
    QProcess probe;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", QGuiApplication::platformName()); // where the suite itself shows
    env.insert(extra);
    probe.setProcessEnvironment(env);
    probe.start(QStringLiteral(VELKA_PROBE), {});
    const bool ended = QTest::qWaitFor([&] { return probe.state() == QProcess::NotRunning; }, 60000);
    const QString out = QString::fromUtf8(probe.readAllStandardOutput());
    return ended && probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0 ? out : "NOT ENDED WITH 0\n" + out;
}
#endif
