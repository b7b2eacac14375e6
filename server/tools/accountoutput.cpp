#include "server/tools/accountoutput.h"

#include "server/accounts/sqlaccountstore.h"

#include <QJsonDocument>
#include <QJsonObject>

const char AccountToolCommands[] = R"(Usage: velka-live-server accounts <command> [options]
Looks after the accounts of --database, also while servers serve it. Each change
is logged on standard error and in the journal (journalctl -t velka-live-server).
Exit status: 0 done, 1 no such account or a database error, 2 a bad command line.

Commands:
  find [--login N] [--email TEXT] [--name TEXT] [--page N] [--page-size N]
        Accounts in the order of their logins, a page at a time: login, name,
        e-mail, created, active or disabled. Text matches any part, in any case;
        --name the last or the first name.
  show LOGIN
        The account: its details, news, created, last sign-in, whether disabled,
        and its failed sign-ins.
  export LOGIN
        The account's data as JSON, as its owner may ask for it.
  disable LOGIN
        Its sign-ins answer 0, as for a wrong password; the login stays taken.
  enable LOGIN
        Its sign-ins are accepted again.
  set-password LOGIN
        A new password, from standard input (one line) or typed twice at a
        terminal, hashed at --hash-cost as a registration's is.
  clear-count --login N | --address ADDRESS [--ipv6-prefix BITS]
        Forgets the failed sign-ins at a login, or those of a client: an IPv6
        address stands for its network of --ipv6-prefix bits.
  delete LOGIN
        Removes the account and its counts; its login is never handed out again.

)";

namespace {

QString timeText(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODate);
}

QString detail(const AccountRecord &account, const char *name)
{
    return account.details.value(accountDetailNames().indexOf(QLatin1String(name)));
}

} // namespace

QString accountLine(const AccountRecord &account)
{
    return QStringLiteral("%1\t%2\t%3\t%4\t%5\n")
        .arg(QString::number(account.login), (detail(account, "fna") + u' ' + detail(account, "lna")).trimmed(),
             detail(account, "ema"), timeText(account.created),
             account.disabled ? QStringLiteral("disabled") : QStringLiteral("active"));
}

QString accountText(const AccountRecord &account, const QList<FailureRow> &counts)
{
    QString text;
    const auto line = [&text](const QString &name, const QString &value) {
        text += QStringLiteral("%1 %2\n").arg(name, -16).arg(value);
    };
    const auto yesNo = [](bool value) { return value ? QStringLiteral("yes") : QStringLiteral("no"); };
    line(QStringLiteral("login"), QString::number(account.login));
    const QStringList names = accountDetailNames();
    for (qsizetype i = 0; i < names.size(); ++i)
        line(names[i], account.details.value(i));
    line(QStringLiteral("news"), yesNo(account.news));
    line(QStringLiteral("created"), timeText(account.created));
    line(QStringLiteral("last sign-in"),
         account.lastSignIn.isNull() ? QStringLiteral("none kept") : timeText(account.lastSignIn));
    line(QStringLiteral("disabled"), yesNo(account.disabled));
    if (counts.isEmpty())
        line(QStringLiteral("failed sign-ins"), QStringLiteral("none counted"));
    for (const FailureRow &count : counts) {
        const QString from = count.source == u'*' ? QStringLiteral("every address together") : count.source;
        line(QStringLiteral("failed sign-ins"),
             QStringLiteral("%1 from %2, the last at %3").arg(count.strikes).arg(from, timeText(count.lastSeen)));
    }
    return text;
}

QByteArray accountJson(const AccountRecord &account)
{
    QJsonObject data{{QStringLiteral("login"), account.login}};
    const QStringList names = accountDetailNames();
    for (qsizetype i = 0; i < names.size(); ++i)
        data.insert(names[i], account.details.value(i));
    data.insert(QStringLiteral("news"), account.news);
    data.insert(QStringLiteral("created"), timeText(account.created));
    data.insert(QStringLiteral("last_sign_in"),
                account.lastSignIn.isNull() ? QJsonValue(QJsonValue::Null) : QJsonValue(timeText(account.lastSignIn)));
    data.insert(QStringLiteral("disabled"), account.disabled);
    return QJsonDocument(data).toJson(QJsonDocument::Indented);
}
