#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

// Reading the scripts' parameters: no network, no store, so that anything a
// caller can put in a URL can be thrown at it alone.

// Answers of register.php other than a new login. The client shows the number;
// Meanings is where --help and the documentation learn what each one says.
namespace RegisterError {
enum : int {
    Internal = 0,
    MissingParameter = -1,
    TooLong = -2,
    BadDigest = -3,
    StorageFailure = -4,
    StorageReadOnly = -5,
    BadNewsFlag = -6,
    ControlCharacter = -7,
    Busy = -8,
    NoLoginLeft = -9,
    DatabaseGone = -10,
    NotUtf8 = -11,
    TooManyFromClient = -12,
};
struct Meaning
{
    int code;
    const char *reason; // the metrics' label
    const char *text;
};
inline constexpr Meaning Meanings[] = {
    {Internal, "hash_failed", "the password could not be hashed (not enough memory for the hash cost)"},
    {MissingParameter, "missing_parameter", "a parameter is missing"},
    {TooLong, "too_long", "a value is longer than 256 characters"},
    {BadDigest, "bad_digest", "pas is not 32 lower-case hex characters"},
    {StorageFailure, "storage_failure", "the database failed to store the account"},
    {StorageReadOnly, "read_only", "the database is read-only (--read-only, or it refuses writes) or full"},
    {BadNewsFlag, "bad_news_flag", "new is neither 0 nor 1"},
    {ControlCharacter, "control_character", "a value holds a control character (line break, tab...)"},
    {Busy, "busy", "server busy: too many passwords waiting to be hashed (--max-pending); try again"},
    {NoLoginLeft, "no_login_left", "no login number left (2147483647 reached)"},
    {DatabaseGone, "database_gone", "the database file is gone or replaced: ask the operator"},
    {NotUtf8, "not_utf8", "a value is not valid UTF-8 once decoded"},
    {TooManyFromClient, "client_limit",
     "too many registrations from this address (--registrations-per-hour): try again later"},
};
inline const char *reason(int code)
{
    for (const Meaning &meaning : Meanings) {
        if (meaning.code == code)
            return meaning.reason;
    }
    return "other";
}
} // namespace RegisterError

// The query of a request target, read as QUrlQuery reads it (values fully
// decoded, '+' kept, the first of repeated names) without first splitting
// every item into strings: the scripts look up a few names once each.
class QueryParameters
{
public:
    explicit QueryParameters(const QUrl &url)
        : m_query(url.query(QUrl::FullyEncoded))
    {}
    // The query as a request target carries it, after the "?".
    explicit QueryParameters(const QByteArray &encodedQuery);

    bool contains(QLatin1String name) const { return !find(name).isNull(); }
    // Fully decoded; empty when the name is absent or has no value. Bytes that
    // are not UTF-8 become U+FFFD, and utf8 (when given) says so.
    QString value(QLatin1String name, bool *utf8 = nullptr) const;

private:
    // The encoded value of name ("" when it has none), or a null view.
    QStringView find(QLatin1String name) const;

    QString m_query;
};

// 32 lower-case hex characters: the only shape of a password digest.
bool isDigest(const QString &text);

// A login as the client may send it: a positive decimal the client can hold
// in an int, spaces around it ignored; 0 for anything else.
qint64 parseLogin(const QString &raw);

struct SignInRequest
{
    qint64 login = 0; // 0: malformed, answered as a refusal
    QByteArray digest;
};
SignInRequest parseSignIn(const QueryParameters &query);

struct RegistrationRequest
{
    int error = 0;       // a RegisterError code, or 0 when every value is fine
    QStringList details; // civ .. ins
    QByteArray digest;
    bool news = false;
};
// Checked in the client's order; the first parameter at fault decides the code.
RegistrationRequest parseRegistration(const QueryParameters &query, int maxValueLength);

// The script a decoded URL path names inside directory ("login.php",
// "register.php", ...), or empty when it lies elsewhere. Empty segments are skipped.
QStringView scriptOf(QStringView path, const QStringList &directory);
