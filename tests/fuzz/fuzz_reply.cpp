// The client's reading of the live server's answer bodies.
#include "fuzzcheck.h"

#include "account/answers.h"

#include <limits>

int fuzzReply(const std::uint8_t *data, std::size_t size)
{
    const QByteArray body(reinterpret_cast<const char *>(data), qsizetype(size));

    FUZZ_CHECK(loginAccepted(body) == (body == "1"));

    // A sign and decimal digits, nothing else, in the range of an int.
    const qsizetype from = body.startsWith('-') || body.startsWith('+') ? 1 : 0;
    bool digits = body.size() > from;
    for (qsizetype i = from; i < body.size(); ++i)
        digits = digits && body[i] >= '0' && body[i] <= '9';
    bool fits = false;
    const long long value = digits ? body.toLongLong(&fits) : 0;
    fits = fits && value >= std::numeric_limits<int>::min() && value <= std::numeric_limits<int>::max();

    const int number = registrationNumber(body);
    FUZZ_CHECK(number == (digits && fits ? int(value) : 0));
    return 0;
}

VELKA_FUZZ_ENTRY(fuzzReply)
