// The client's reading of the live server's answer bodies.
#include "fuzzcheck.h"

#include "account/answers.h"

#include <algorithm>
#include <limits>

int fuzzReply(const std::uint8_t *data, std::size_t size)
{
    const QByteArray body(reinterpret_cast<const char *>(data), qsizetype(size));
    FUZZ_CHECK(loginAccepted(body) == (body == "1"));
    // A sign and decimal digits, nothing else, in the range of an int.
    const QByteArray digits = body.startsWith('-') || body.startsWith('+') ? body.mid(1) : body;
    bool number = !digits.isEmpty() && std::all_of(digits.cbegin(), digits.cend(), [](char c) { return c >= '0' && c <= '9'; });
    const long long value = number ? body.toLongLong(&number) : 0;
    number = number && value >= std::numeric_limits<int>::min() && value <= std::numeric_limits<int>::max();
    FUZZ_CHECK(registrationNumber(body) == (number ? int(value) : 0));
    return 0;
}

VELKA_FUZZ_ENTRY(fuzzReply)
