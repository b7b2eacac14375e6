#include "server/accounts/storefactory.h"
#include "server/log/logwriter.h"
#include "server/options/commandline.h"
#include "server/process/unixsignals.h"
#include "server/handlers/liveserver.h"
#include "server/tools/accounttool.h"

#include <QCoreApplication>

#include <systemd/sd-daemon.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velka-live-server"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELKA_VERSION));
    if (argc > 1 && qstrcmp(argv[1], "accounts") == 0)
        return runAccountTool(app.arguments().mid(2));
    const CommandLine line = parseCommandLine(app);
    std::signal(SIGPIPE, SIG_IGN); // a log nobody reads any more costs lines, not the server

    if (!line.backupTarget.isEmpty() || line.exitAfterCreate) {
        QString message;
        const bool done = line.exitAfterCreate ? prepareAccounts(line.options.database, line.options.createDatabase, &message)
                                               : backupAccounts(line.options.database, line.backupTarget, &message);
        std::fprintf(done ? stdout : stderr, done ? "%s\n" : "velka-live-server: %s\n", qUtf8Printable(message));
        return done ? 0 : 1;
    }

    // The log first: it outlives the server, whose last words go to it.
    LogWriter log;
    log.takeQtMessages(line.options.logFormat);
    LiveServer server(line.options);
    const auto say = [&](const QString &text) { log.add(messageLine(text, line.options.logFormat)); };
    QObject::connect(&server, &LiveServer::requestLogged, [&log](const QString &entry) { log.add(entry); });
    server.setLogLinesDropped([&log] { return log.droppedLines(); });
    QObject::connect(&server, &LiveServer::message, say);
    // systemd (Type=notify) learns when the server serves, reloads and stops;
    // without it these calls do nothing.
    UnixSignals unixSignals;
    QObject::connect(&unixSignals, &UnixSignals::hangUp, [&] {
        // The TLS files read again; a pair that cannot serve leaves the one in use.
        sd_notify(0, "RELOADING=1");
        QString error;
        if (line.options.tlsCertificate.isEmpty())
            say(QStringLiteral("reload: nothing to reload (no TLS files)"));
        else if (server.reloadTls(&error))
            say(QStringLiteral("reload: TLS certificate and key read again"));
        else
            say(QStringLiteral("reload refused, the TLS pair in use kept: ") + error);
        sd_notify(0, "READY=1");
    });
    // Stopping answers what was read first, for at most the drain timeout; a
    // second signal ends at once.
    QObject::connect(&unixSignals, &UnixSignals::stopAsked, [&](int signal) {
        if (server.isDraining()) {
            say(QStringLiteral("signal %1 again: stopping now").arg(signal));
            log.flush();
            std::_Exit(1);
        }
        sd_notify(0, "STOPPING=1");
        say(QStringLiteral("signal %1: stopping once %2 requests are answered").arg(signal).arg(server.unansweredCount()));
        server.stopGracefully(line.options.drainTimeoutMs);
    });
    QObject::connect(&server, &LiveServer::stopped, [&](int cut) {
        if (cut > 0)
            say(QStringLiteral("drain timeout: %1 requests cut unanswered").arg(cut));
        say(QStringLiteral("stopped"));
        app.exit(0);
    });
    if (!server.start()) {
        std::fprintf(stderr, "velka-live-server: %s\n", qUtf8Printable(server.errorString()));
        return 1;
    }
    const QString url = server.baseUrl().toString();
    std::printf("%s\n", qUtf8Printable(url));
    std::fflush(stdout);
    sd_notifyf(0, "READY=1\nSTATUS=serving %s", qUtf8Printable(url));
    return app.exec();
}
