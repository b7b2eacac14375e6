#include "server/tools/changelog.h"

#include <systemd/sd-journal.h>

#include <cstdio>

#include <pwd.h>
#include <syslog.h>
#include <unistd.h>

namespace {

// Who asks: the real user, and whoever became it by sudo.
QString operatorName()
{
    const passwd *user = getpwuid(getuid());
    const QString name = user ? QString::fromLocal8Bit(user->pw_name) : QStringLiteral("uid %1").arg(getuid());
    const QString sudo = qEnvironmentVariable("SUDO_USER");
    return sudo.isEmpty() ? name : QStringLiteral("%1 (sudo: %2)").arg(name, sudo);
}

} // namespace

void logAccountChange(const QString &what)
{
    const QByteArray line = QStringLiteral("accounts: %1 %2").arg(operatorName(), what).toUtf8();
    std::fprintf(stderr, "velka-live-server %s\n", line.constData());
    // Without a journal (not under systemd) this does nothing.
    sd_journal_send("MESSAGE=%s", line.constData(), "PRIORITY=%i", LOG_NOTICE, "SYSLOG_IDENTIFIER=velka-live-server",
                    nullptr);
}
