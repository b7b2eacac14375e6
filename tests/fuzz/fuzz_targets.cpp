// Raw request bytes through the server's request reader, or a request
// target's query through the scripts' reading of it: the first byte picks.
// Built with libFuzzer and the sanitizers by the "fuzz" preset.
#include "net/liveprotocol.h"
#include "server/handlers/scriptparameters.h"
#include "server/http/requestreader.h"

#include <QUrlQuery>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <limits>

#define CHECK(condition) \
    ((condition) ? void() : (std::fprintf(stderr, "fuzz check failed: %s (line %d)\n", #condition, __LINE__), std::abort()))

// What take() reports ended has the shape a handler relies on: a method of
// token characters, a target it can read, an address of one element.
static QByteArray checked(const RequestHead &head)
{
    const auto token = [](char c) { return std::isalnum(uchar(c)) || std::strchr("!#$%&'*+-.^_`|~", c) != nullptr; };
    CHECK(!head.method.isEmpty() && std::all_of(head.method.begin(), head.method.end(), token));
    CHECK(head.target == "*" || head.target.startsWith('/')
          || (head.method == "CONNECT" && !head.target.isEmpty() && !head.target.contains('/')));
    CHECK(std::none_of(head.target.begin(), head.target.end(), [](char c) { return uchar(c) <= ' ' || c == 0x7f; }));
    CHECK((head.minorVersion == 0 && head.close) || head.minorVersion == 1);
    const QByteArray &address = head.forwardedFor;
    CHECK(address.size() <= 64 && !address.contains(',') && address == address.trimmed());
    return head.method + ' ' + head.target + ' ' + char('0' + head.minorVersion) + char('0' + head.close) + ' ' + address + '\n';
}

// Every request in bytes, in pieces of 1 to 8 bytes as a network may hand
// them over when cut: the heads of those ended.
static QByteArray readAll(RequestReader &reader, const char *bytes, std::size_t size, bool cut)
{
    QByteArray heads;
    for (std::size_t at = 0; at < size && reader.verdict() == RequestReader::Verdict::Ok;) {
        const std::size_t end = cut ? std::min<std::size_t>(size, at + (bytes[at] & 7) + 1) : size;
        while (at < end && reader.verdict() == RequestReader::Verdict::Ok) {
            at += std::size_t(reader.take(bytes + at, qsizetype(end - at)));
            if (reader.requestEnded()) {
                CHECK(!reader.midRequest());
                heads += checked(reader.head());
            }
        }
    }
    return heads;
}

static void reader(const char *bytes, std::size_t size)
{
    // Small limits, so that every one of them is within the fuzzer's reach.
    const RequestLimits limits{64, 128, 4, 32};
    RequestReader whole(limits, true), pieces(limits, true);
    const QByteArray heads = readAll(whole, bytes, size, false);
    CHECK(heads == readAll(pieces, bytes, size, true));
    CHECK(whole.verdict() == pieces.verdict() && whole.completed() == pieces.completed());
    CHECK(whole.verdict() != RequestReader::Verdict::Ok || whole.midRequest() == pieces.midRequest());
    CHECK(whole.tlsHandshake() == (size > 0 && bytes[0] == 0x16));
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
        (data[0] & 1 ? query : reader)(reinterpret_cast<const char *>(data) + 1, size - 1);
    return 0;
}
