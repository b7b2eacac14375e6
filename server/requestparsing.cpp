#include "server/requestparsing.h"

#include "net/liveprotocol.h"

#include <algorithm>
#include <limits>

namespace {

bool hasControlCharacter(const QString &text)
{
    return std::any_of(text.begin(), text.end(), [](QChar c) { return c.category() == QChar::Other_Control; });
}

} // namespace

bool isDigest(const QString &text)
{
    return text.size() == 32 && std::all_of(text.begin(), text.end(), [](QChar c) {
               return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f');
           });
}

qint64 parseLogin(const QString &raw)
{
    const QString text = raw.trimmed();
    if (text.isEmpty() || text.size() > 10 || text.front() == u'0'
        || !std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; })) {
        return 0;
    }
    const qint64 login = text.toLongLong();
    return login <= std::numeric_limits<int>::max() ? login : 0;
}

SignInRequest parseSignIn(const QUrlQuery &query)
{
    SignInRequest request;
    const qint64 login = parseLogin(query.queryItemValue(QStringLiteral("l"), QUrl::FullyDecoded));
    const QString digest = query.queryItemValue(QStringLiteral("p"), QUrl::FullyDecoded);
    if (login != 0 && isDigest(digest)) {
        request.login = login;
        request.digest = digest.toLatin1();
    }
    return request;
}

RegistrationRequest parseRegistration(const QUrlQuery &query, int maxValueLength)
{
    RegistrationRequest request;
    const auto reject = [&](int code) {
        request.error = code;
        request.details.clear();
        request.digest.clear();
        return request;
    };
    for (const char *name : RegisterParam::Order) {
        const QString key = QLatin1String(name);
        if (!query.hasQueryItem(key))
            return reject(RegisterError::MissingParameter);
        const QString value = query.queryItemValue(key, QUrl::FullyDecoded);
        if (value.size() > maxValueLength)
            return reject(RegisterError::TooLong);
        if (hasControlCharacter(value))
            return reject(RegisterError::ControlCharacter);
        if (key == QLatin1String("pas")) {
            if (!isDigest(value))
                return reject(RegisterError::BadDigest);
            request.digest = value.toLatin1();
        } else if (key == QLatin1String("new")) {
            if (value != QLatin1String("0") && value != QLatin1String("1"))
                return reject(RegisterError::BadNewsFlag);
            request.news = value == QLatin1String("1");
        } else {
            request.details.append(value);
        }
    }
    return request;
}

QString scriptOf(const QString &path, const QStringList &directory)
{
    // A live/directory or server setting with a stray slash still reaches the scripts.
    const QStringList segments = path.split(u'/', Qt::SkipEmptyParts);
    const bool inDirectory = segments.size() == directory.size() + 1
        && std::equal(directory.cbegin(), directory.cend(), segments.cbegin());
    return inDirectory ? segments.last() : QString();
}
