// Raw request bytes through the connection guard's scanner, or a request
// target's query through the scripts' reading of it: the first byte picks.
// Built with libFuzzer and the sanitizers by the "fuzz" preset.
#include "net/liveprotocol.h"
#include "server/handlers/scriptparameters.h"
#include "server/http/requestreader.h"

#include <QUrlQuery>

#include <cstdio>
#include <cstdlib>
#include <limits>

#define CHECK(condition) \
    ((condition) ? void() : (std::fprintf(stderr, "fuzz check failed: %s (line %d)\n", #condition, __LINE__), std::abort()))

static void scanner(const char *bytes, std::size_t size)
{
    // Small limits, so that every one of them is within the fuzzer's reach.
    const RequestLimits limits{64, 128, 4, 32};
    RequestReader whole(limits), pieces(limits);
    const RequestReader::Verdict verdict = whole.feed(bytes, qsizetype(size));
    // The same bytes as a network may hand them over: in pieces of 1 to 8 bytes.
    RequestReader::Verdict cut = RequestReader::Verdict::Ok;
    for (std::size_t at = 0; at < size && cut == RequestReader::Verdict::Ok;) {
        const std::size_t take = std::min<std::size_t>(size - at, (bytes[at] & 7) + 1);
        cut = pieces.feed(bytes + at, qsizetype(take));
        at += take;
    }
    CHECK(verdict == cut && whole.completed() == pieces.completed());
    CHECK(verdict != RequestReader::Verdict::Ok || whole.midRequest() == pieces.midRequest());
}

static void query(const char *bytes, std::size_t size)
{
    // The scripts read their parameters as Qt's own QUrlQuery does, whatever the target.
    const QUrl url = QUrl::fromEncoded("/VELKA/be/register.php?" + QByteArray(bytes, qsizetype(size)));
    const QueryParameters ours(url);
    const QUrlQuery qt(url);
    QStringList names = {QStringLiteral("l"), QStringLiteral("p")};
    for (const char *name : RegisterParam::Order)
        names << QLatin1String(name);
    for (const QString &name : names) {
        const QLatin1String key(name.toLatin1());
        CHECK(ours.contains(key) == qt.hasQueryItem(name));
        bool utf8 = true; // bytes that are not UTF-8 are refused, however Qt spells them
        CHECK(ours.value(key, &utf8) == qt.queryItemValue(name, QUrl::FullyDecoded) || !utf8);
    }
    // What is accepted has the shape the store relies on.
    const RegistrationRequest registration = parseRegistration(ours, 256);
    CHECK(registration.error != 0 || (registration.details.size() == 11 && isDigest(QString::fromLatin1(registration.digest))));
    const SignInRequest signIn = parseSignIn(ours);
    CHECK(signIn.login == 0 || (signIn.login <= std::numeric_limits<int>::max() && isDigest(QString::fromLatin1(signIn.digest))));
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size > 0)
        (data[0] & 1 ? query : scanner)(reinterpret_cast<const char *>(data) + 1, size - 1);
    return 0;
}
