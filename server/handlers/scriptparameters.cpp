#include "server/handlers/scriptparameters.h"

#include "net/liveprotocol.h"

#include <QStringDecoder>
#include <QStringTokenizer>

#include <algorithm>
#include <limits>

namespace {

bool hasControlCharacter(const QString &text)
{
    return std::any_of(text.begin(), text.end(), [](QChar c) { return c.category() == QChar::Other_Control; });
}

} // namespace

QueryParameters::QueryParameters(const QByteArray &encodedQuery)
{
    // Bytes a client left unencoded beyond ASCII are read as if encoded, the way QUrl does.
    const bool ascii = std::all_of(encodedQuery.begin(), encodedQuery.end(), [](char c) { return uchar(c) < 0x80; });
    m_query = QString::fromLatin1(ascii ? encodedQuery : encodedQuery.toPercentEncoding("!$&'()*+,;=:@/?%[]#"));
}

QStringView QueryParameters::find(QLatin1String name) const
{
    for (qsizetype from = 0; from <= m_query.size();) {
        qsizetype to = m_query.indexOf(u'&', from);
        if (to < 0)
            to = m_query.size();
        const QStringView item = QStringView(m_query).sliced(from, to - from);
        from = to + 1;
        const qsizetype equals = item.indexOf(u'=');
        const QStringView key = equals < 0 ? item : item.first(equals);
        // A name may come percent-encoded; the common case needs no decoding.
        if (key.contains(u'%') ? QUrl::fromPercentEncoding(key.toLatin1()) == name : key == name)
            return equals < 0 ? QStringView(u"") : item.sliced(equals + 1);
    }
    return {};
}

QString QueryParameters::value(QLatin1String name, bool *utf8) const
{
    const QStringView encoded = find(name);
    if (!encoded.contains(u'%'))
        return encoded.toString(); // the query is ASCII: nothing to check
    // Stateless: a sequence cut short at the end is an error too.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString value = decoder(QByteArray::fromPercentEncoding(encoded.toLatin1()));
    if (utf8)
        *utf8 = !decoder.hasError();
    return value;
}

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

SignInRequest parseSignIn(const QueryParameters &query)
{
    SignInRequest request;
    const qint64 login = parseLogin(query.value(QLatin1String("l")));
    if (login == 0)
        return request;
    const QString digest = query.value(QLatin1String("p"));
    if (isDigest(digest)) {
        request.login = login;
        request.digest = digest.toLatin1();
    }
    return request;
}

RegistrationRequest parseRegistration(const QueryParameters &query, int maxValueLength)
{
    RegistrationRequest request;
    const auto reject = [&](int code) {
        request.error = code;
        request.details.clear();
        request.digest.clear();
        return request;
    };
    for (const char *name : RegisterParam::Order) {
        const QLatin1String key(name);
        if (!query.contains(key))
            return reject(RegisterError::MissingParameter);
        bool utf8 = true;
        const QString value = query.value(key, &utf8);
        if (!utf8)
            return reject(RegisterError::NotUtf8);
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

QStringView scriptOf(QStringView path, const QStringList &directory)
{
    // A live/directory or server setting with a stray slash still reaches the scripts.
    qsizetype matched = 0;
    QStringView last;
    for (const QStringView segment : qTokenize(path, u'/', Qt::SkipEmptyParts)) {
        if (!last.isNull() && (matched >= directory.size() || directory[matched++] != last))
            return {};
        last = segment;
    }
    return matched == directory.size() ? last : QStringView();
}
