// The connection guard's reading of raw request bytes, whichever way they are cut.
#include "fuzzcheck.h"

#include "server/requestscanner.h"

int fuzzScanner(const std::uint8_t *data, std::size_t size)
{
    // Small limits, so that every one of them is within the fuzzer's reach.
    RequestLimits limits;
    limits.maxRequestLine = 64;
    limits.maxHeaderBytes = 128;
    limits.maxHeaderFields = 4;
    limits.maxBody = 32;
    const char *bytes = reinterpret_cast<const char *>(data);

    RequestScanner whole(limits);
    const RequestScanner::Verdict verdict = whole.feed(bytes, qsizetype(size));

    // The same bytes as a network may hand them over: in pieces of 1 to 8 bytes.
    RequestScanner pieces(limits);
    RequestScanner::Verdict cut = RequestScanner::Verdict::Ok;
    for (std::size_t at = 0; at < size && cut == RequestScanner::Verdict::Ok;) {
        const std::size_t take = std::min<std::size_t>(size - at, (data[at] & 7) + 1);
        cut = pieces.feed(bytes + at, qsizetype(take));
        at += take;
    }
    FUZZ_CHECK(verdict == cut);
    FUZZ_CHECK(whole.completed() == pieces.completed());
    if (verdict == RequestScanner::Verdict::Ok) {
        FUZZ_CHECK(whole.midRequest() == pieces.midRequest());
        // A request cannot end in fewer bytes than its request line needs.
        FUZZ_CHECK(whole.completed() * 16 <= qint64(size));
    } else {
        const int status = int(verdict);
        FUZZ_CHECK(status >= 400 && status <= 501);
    }
    return 0;
}

VELKA_FUZZ_ENTRY(fuzzScanner)
