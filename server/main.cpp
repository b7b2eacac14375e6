#include "server/accounts/storefactory.h"
#include "server/log/logwriter.h"
#include "server/options/commandline.h"
#include "server/scripts/liveserver.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velka-live-server"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELKA_VERSION));
    const CommandLine line = parseCommandLine(app);
    std::signal(SIGPIPE, SIG_IGN); // a log nobody reads any more costs lines, not the server

    if (!line.backupTarget.isEmpty() || line.exitAfterCreate) {
        QString message;
        const bool done = line.exitAfterCreate ? prepareAccounts(line.options.database, line.options.createDatabase, &message)
                                               : backupAccounts(line.options.database, line.backupTarget, &message);
        std::fprintf(done ? stdout : stderr, done ? "%s\n" : "velka-live-server: %s\n", qUtf8Printable(message));
        return done ? 0 : 1;
    }

    LiveServer server(line.options);
    LogWriter log;
    QObject::connect(&server, &LiveServer::requestLogged, [&log](const QString &entry) { log.add(entry); });
    if (!server.start()) {
        std::fprintf(stderr, "velka-live-server: %s\n", qUtf8Printable(server.errorString()));
        return 1;
    }
    std::printf("%s\n", qUtf8Printable(server.baseUrl().toString()));
    std::fflush(stdout);
    return app.exec();
}
