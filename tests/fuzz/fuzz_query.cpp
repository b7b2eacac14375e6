// The server's reading of a request target: path to script, query to parameters.
#include "fuzzcheck.h"

#include "server/requestparsing.h"

#include <QUrl>

#include <algorithm>
#include <limits>

static bool hasControl(const QString &text)
{
    return std::any_of(text.cbegin(), text.cend(), [](QChar c) { return c.category() == QChar::Other_Control; });
}

int fuzzQuery(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    // The first byte picks how the target reaches QUrl: as raw bytes or as text.
    const QByteArray raw(reinterpret_cast<const char *>(data) + 1, qsizetype(size - 1));
    const QUrl url = data[0] & 1 ? QUrl::fromEncoded("/VELKA/be/register.php?" + raw)
                                 : QUrl(QString::fromUtf8("/VELKA/be/login.php?" + raw));
    const QueryParameters query(url);

    const RegistrationRequest registration = parseRegistration(query, 256);
    if (registration.error == 0) {
        FUZZ_CHECK(registration.details.size() == 11);
        for (const QString &value : registration.details)
            FUZZ_CHECK(value.size() <= 256 && !hasControl(value));
        FUZZ_CHECK(isDigest(QString::fromLatin1(registration.digest)));
    } else {
        FUZZ_CHECK(registration.error >= RegisterError::ControlCharacter
                   && registration.error <= RegisterError::MissingParameter);
        FUZZ_CHECK(registration.details.isEmpty() && registration.digest.isEmpty());
    }

    const SignInRequest signIn = parseSignIn(query);
    if (signIn.login != 0) {
        FUZZ_CHECK(signIn.login > 0 && signIn.login <= std::numeric_limits<int>::max());
        FUZZ_CHECK(QString::number(signIn.login)
                   == query.value(QLatin1String("l")).trimmed());
        FUZZ_CHECK(isDigest(QString::fromLatin1(signIn.digest)));
    } else {
        FUZZ_CHECK(signIn.digest.isEmpty());
    }

    const QString script = scriptOf(url.path(QUrl::FullyDecoded), {QStringLiteral("VELKA"), QStringLiteral("be")});
    FUZZ_CHECK(!script.contains(u'/'));
    return 0;
}

VELKA_FUZZ_ENTRY(fuzzQuery)
