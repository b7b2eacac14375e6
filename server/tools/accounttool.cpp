#include "server/tools/accounttool.h"

#include "account/passworddigest.h"
#include "server/accounts/accountadmin.h"
#include "server/accounts/sqlaccountstore.h"
#include "server/accounts/storefactory.h"
#include "server/options/sharedoptions.h"
#include "server/passwords/passwordhash.h"
#include "server/handlers/scriptparameters.h"
#include "server/throttle/clientkey.h"
#include "server/tools/accountoutput.h"
#include "server/tools/changelog.h"
#include "server/tools/passwordinput.h"

#include <QCommandLineParser>

#include <cstdio>

namespace {

using Result = AccountStore::Result;

const QString Prefix = QStringLiteral("velka-live-server accounts: ");

void print(const QString &text)
{
    std::fputs(text.toUtf8().constData(), stdout);
}

class AccountTool
{
public:
    int run(const QStringList &arguments);

private:
    struct Command
    {
        const char *name;
        bool takesLogin;
        QStringList options; // beyond --database
        int (AccountTool::*run)();
    };
    static const QList<Command> &commands();
    QString helpText() const;

    int find();
    int show();
    int exportData();
    int disable() { return setDisabled(true); }
    int enable() { return setDisabled(false); }
    int setDisabled(bool disabled);
    int setPassword();
    int clearCount();
    int remove();

    bool open();
    // A bad command line, or (hint false) a password refused: status 2.
    int usage(const QString &message, bool hint = true) const;
    int failed(const QString &message = {}) const;

    QCommandLineParser m_parser;
    std::unique_ptr<AccountStore> m_store;
    std::unique_ptr<AccountAdmin> m_admin;
    QString m_error;
    qint64 m_login = 0; // the command's LOGIN
};

const QList<AccountTool::Command> &AccountTool::commands()
{
    static const QList<Command> list = {
        {"find", false, {"login", "email", "name", "page", "page-size"}, &AccountTool::find},
        {"show", true, {}, &AccountTool::show},
        {"export", true, {}, &AccountTool::exportData},
        {"disable", true, {}, &AccountTool::disable},
        {"enable", true, {}, &AccountTool::enable},
        {"set-password", true, {"hash-cost", "hash-ops", "hash-mem"}, &AccountTool::setPassword},
        {"clear-count", false, {"login", "address", "ipv6-prefix"}, &AccountTool::clearCount},
        {"delete", true, {}, &AccountTool::remove},
    };
    return list;
}

QString AccountTool::helpText() const
{
    const QString options = m_parser.helpText();
    return QLatin1String(AccountToolCommands) + options.mid(options.indexOf(QLatin1String("Options:")));
}

int AccountTool::run(const QStringList &arguments)
{
    m_parser.addOption(
        {{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("What the commands do, and their options.")});
    m_parser.addOption(databaseOption());
    m_parser.addOptions(hashCostOptions());
    m_parser.addOptions({
        {QStringLiteral("login"), QStringLiteral("find, clear-count: the account of this login."), QStringLiteral("N")},
        {QStringLiteral("email"), QStringLiteral("find: accounts whose e-mail holds this text."),
         QStringLiteral("text")},
        {QStringLiteral("name"), QStringLiteral("find: accounts whose last or first name holds this text."),
         QStringLiteral("text")},
        {QStringLiteral("page"), QStringLiteral("find: which page, from 1 (default)."), QStringLiteral("n"),
         QStringLiteral("1")},
        {QStringLiteral("page-size"), QStringLiteral("find: accounts a page (20)."), QStringLiteral("n"),
         QStringLiteral("20")},
        {QStringLiteral("address"), QStringLiteral("clear-count: the client at this address."),
         QStringLiteral("address")},
        {QStringLiteral("ipv6-prefix"),
         QStringLiteral("clear-count: bits of an IPv6 address that make one client (64)."), QStringLiteral("bits"),
         QStringLiteral("64")},
    });
    if (!m_parser.parse(QStringList{QStringLiteral("accounts")} + arguments))
        return usage(m_parser.errorText());
    if (m_parser.isSet(QStringLiteral("help"))) {
        print(helpText());
        return 0;
    }
    const QStringList words = m_parser.positionalArguments();
    if (words.isEmpty())
        return usage(QStringLiteral("no command given"));
    const auto command = std::find_if(commands().cbegin(), commands().cend(),
                                      [&](const Command &c) { return words.first() == QLatin1String(c.name); });
    if (command == commands().cend())
        return usage(QStringLiteral("unknown command \"%1\"").arg(words.first()));
    for (const QString &name : m_parser.optionNames()) {
        if (name != QLatin1String("database") && !command->options.contains(name))
            return usage(QStringLiteral("%1 takes no --%2").arg(words.first(), name));
    }
    if (command->takesLogin) {
        if (words.size() != 2 || (m_login = parseLogin(words[1])) == 0)
            return usage(QStringLiteral("%1 takes one login").arg(words.first()));
    } else if (words.size() > 1) {
        return usage(QStringLiteral("unexpected argument \"%1\"").arg(words[1]));
    }
    return (this->*command->run)();
}

bool AccountTool::open()
{
    // Writable, never created: an older schema is brought up to date, as a server starting would.
    const QString location = m_parser.value(QStringLiteral("database"));
    m_store = openAccountStore(location, false, false, &m_error);
    auto *sql = dynamic_cast<SqlAccountStore *>(m_store.get());
    if (m_store && !sql)
        m_error = QStringLiteral("%1 is no SQL database").arg(location);
    if (sql)
        m_admin = std::make_unique<AccountAdmin>(*sql);
    return m_admin != nullptr;
}

int AccountTool::usage(const QString &message, bool hint) const
{
    std::fprintf(stderr, "%s%s%s\n", qUtf8Printable(Prefix), qUtf8Printable(message),
                 hint ? " (see velka-live-server accounts --help)" : "");
    return 2;
}

int AccountTool::failed(const QString &message) const
{
    const QString text = !message.isEmpty() ? message : m_admin ? m_admin->errorString() : m_error;
    std::fprintf(stderr, "%s%s\n", qUtf8Printable(Prefix), qUtf8Printable(text));
    return 1;
}

int AccountTool::find()
{
    AccountFilter filter;
    QString error;
    if (m_parser.isSet(QStringLiteral("login"))
        && (filter.login = parseLogin(m_parser.value(QStringLiteral("login")))) == 0)
        error = QStringLiteral("--login: not a login");
    filter.email = m_parser.value(QStringLiteral("email"));
    filter.name = m_parser.value(QStringLiteral("name"));
    filter.page = qint64(numberOption(m_parser, QStringLiteral("page"), 1000000000, &error));
    filter.pageSize = qint64(numberOption(m_parser, QStringLiteral("page-size"), 100000, &error));
    if (error.isEmpty() && (filter.page < 1 || filter.pageSize < 1))
        error = QStringLiteral("--page and --page-size count from 1");
    if (!error.isEmpty())
        return usage(error);
    QList<AccountRecord> page;
    if (!open() || m_admin->find(filter, &page) != Result::Ok)
        return failed();
    for (const AccountRecord &account : std::as_const(page))
        print(accountLine(account));
    return 0;
}

int AccountTool::show()
{
    AccountRecord account;
    QList<FailureRow> counts;
    if (!open() || m_admin->account(m_login, &account) != Result::Ok
        || m_admin->failures(m_login, &counts) != Result::Ok)
        return failed();
    print(accountText(account, counts));
    return 0;
}

int AccountTool::exportData()
{
    AccountRecord account;
    if (!open() || m_admin->account(m_login, &account) != Result::Ok)
        return failed();
    std::fputs(accountJson(account).constData(), stdout);
    return 0;
}

int AccountTool::setDisabled(bool disabled)
{
    if (!open() || m_admin->setDisabled(m_login, disabled) != Result::Ok)
        return failed();
    logAccountChange(QStringLiteral("%1 login %2")
                         .arg(disabled ? QLatin1String("disabled") : QLatin1String("enabled"))
                         .arg(m_login));
    return 0;
}

int AccountTool::setPassword()
{
    QString error;
    const HashCost cost = hashCostOption(m_parser, &error);
    if (error.isEmpty() && !cost.isValid())
        error = QStringLiteral("the hash cost is outside what Argon2id accepts");
    if (!error.isEmpty())
        return usage(error);
    AccountRecord account; // asked for first, so that nobody types a password for nothing
    if (!open() || m_admin->account(m_login, &account) != Result::Ok)
        return failed();
    QString password;
    if (!readNewPassword(&password, &error))
        return usage(error, false);
    // As a registration keeps it: the client's digest of the password, hashed.
    const QByteArray hash
        = initPasswordHashing() ? hashPassword(passwordDigest(password).toLatin1(), cost) : QByteArray();
    password.fill(u'\0');
    if (hash.isEmpty())
        return failed(QStringLiteral("the password could not be hashed (not enough memory for the hash cost?)"));
    if (m_admin->setPasswordHash(m_login, hash) != Result::Ok)
        return failed();
    logAccountChange(QStringLiteral("set the password of login %1").arg(m_login));
    return 0;
}

int AccountTool::clearCount()
{
    const bool byLogin = m_parser.isSet(QStringLiteral("login"));
    if (byLogin == m_parser.isSet(QStringLiteral("address")))
        return usage(QStringLiteral("clear-count takes either --login or --address"));
    qint64 login = 0;
    QString source, error;
    QHostAddress address;
    if (byLogin && (login = parseLogin(m_parser.value(QStringLiteral("login")))) == 0)
        error = QStringLiteral("--login: not a login");
    const int prefix = int(numberOption(m_parser, QStringLiteral("ipv6-prefix"), 128, &error));
    if (!byLogin && !address.setAddress(m_parser.value(QStringLiteral("address"))))
        error = QStringLiteral("--address: not an IPv4 or IPv6 address");
    if (!error.isEmpty())
        return usage(error);
    if (!byLogin)
        source = clientKey(address, prefix);
    qint64 cleared = 0;
    if (!open() || m_admin->clearFailures(login, source, &cleared) != Result::Ok)
        return failed();
    logAccountChange(QStringLiteral("cleared the failed sign-ins of %1 (%2 counts)")
                         .arg(byLogin ? QStringLiteral("login %1").arg(login) : QStringLiteral("address ") + source)
                         .arg(cleared));
    return 0;
}

int AccountTool::remove()
{
    if (!open() || m_admin->remove(m_login) != Result::Ok)
        return failed();
    logAccountChange(QStringLiteral("deleted login %1").arg(m_login));
    return 0;
}

} // namespace

int runAccountTool(const QStringList &arguments)
{
    return AccountTool().run(arguments);
}
