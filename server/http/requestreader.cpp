#include "server/http/requestreader.h"

#include <cstring>

namespace {

// Token characters: what a method or a field name is made of.
bool isToken(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
        || (c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

bool equalsLower(const char *text, int size, const char *lower)
{
    if (int(std::strlen(lower)) != size)
        return false;
    for (int i = 0; i < size; ++i) {
        if ((text[i] >= 'A' && text[i] <= 'Z' ? char(text[i] - 'A' + 'a') : text[i]) != lower[i])
            return false;
    }
    return true;
}

} // namespace

RequestReader::Verdict RequestReader::feed(const char *data, qsizetype size)
{
    for (qsizetype at = 0; at < size && m_verdict == Verdict::Ok;)
        at += take(data + at, size - at);
    return m_verdict;
}

qsizetype RequestReader::take(const char *data, qsizetype size)
{
    const char *p = data;
    const char *const end = data + size;
    m_ended = false;
    while (m_verdict == Verdict::Ok && p < end && !m_ended) {
        if (m_state == State::Body) {
            const qint64 take = qMin<qint64>(m_bodyLeft, end - p);
            p += take;
            if ((m_bodyLeft -= take) == 0) {
                ++m_completed;
                m_ended = true;
                m_state = State::Idle;
            }
            continue;
        }
        const unsigned char c = static_cast<unsigned char>(*p++);
        if (!m_anyByte) {
            m_anyByte = true;
            m_tls = c == 0x16; // a TLS record: handshake
        }
        if (m_state == State::Idle) {
            // Blanks left over before a request are skipped, without a clock.
            if (c == ' ' || c == '\t' || c == '\v' || c == '\r' || c == '\n')
                continue;
            m_state = State::RequestLine;
            m_close = false;
        }
        if (c == '\n') {
            lineEnded();
            continue;
        }
        const int at = m_lineLength++;
        if (m_state == State::RequestLine ? m_lineLength > m_limits.maxRequestLine + 1 // + 1: its carriage return
                                          : ++m_headerBytes > m_limits.maxHeaderBytes) {
            fail(m_state == State::RequestLine ? Verdict::RequestLineTooLong : Verdict::HeaderTooLarge);
            break;
        }
        if (at < Kept)
            m_line[at] = char(c);
        m_cr = c == '\r';
        if (!m_cr)
            m_tail = m_tail << 8 | c;

        if (m_state == State::RequestLine) {
            if (c == ' ') {
                if (m_spaces++ == 0)
                    m_nameEnd = at;
                m_lastSpace = at;
            } else if (m_spaces == 0 && !isToken(c)) {
                fail(Verdict::BadRequest);
            }
        } else if (m_nameEnd < 0) {
            if (c == ':')
                m_nameEnd = at;
            else if (!isToken(c) && !(c == '\r' && at == 0))
                fail(Verdict::BadRequest);
        }
    }
    return p - data;
}

RequestReader::Verdict RequestReader::lineEnded()
{
    const int length = m_lineLength - (m_cr ? 1 : 0);
    const int nameEnd = m_nameEnd, spaces = m_spaces, lastSpace = m_lastSpace;
    m_lineLength = m_spaces = 0;
    m_nameEnd = m_lastSpace = -1;
    m_cr = false;

    if (m_state == State::RequestLine) {
        // METHOD SP target SP HTTP/1.x, or a 400 that tells the client why.
        constexpr quint64 Http1 = 0x485454502f312eULL; // "HTTP/1."
        const char minor = char(m_tail & 0xff);
        const bool shaped = spaces == 2 && nameEnd > 0 && lastSpace > nameEnd + 1 && lastSpace == length - 9
            && (m_tail >> 8 & 0xffffffffffffffULL) == Http1 && minor >= '0' && minor <= '9';
        if (!shaped)
            return fail(Verdict::BadRequest);
        // HTTP/1.0 keeps no connection unless both sides say so; ours never does.
        m_close = minor == '0';
        m_state = State::HeaderLine;
        return Verdict::Ok;
    }

    if (length == 0) {
        if (m_transferCoding)
            return fail(Verdict::LengthRequired);
        m_bodyLeft = qMax<qint64>(m_contentLength, 0);
        m_state = m_bodyLeft > 0 ? State::Body : State::Idle;
        m_completed += m_bodyLeft == 0;
        m_ended = m_bodyLeft == 0;
        m_contentLength = -1;
        m_headerBytes = m_fields = 0;
        return Verdict::Ok;
    }
    // A line that is no "name: value" puts where the request ends in doubt: a
    // proxy in front of us might read its length, or its end, otherwise.
    if (nameEnd <= 0 || m_line[0] == '\r')
        return fail(Verdict::BadRequest);
    if (++m_fields > m_limits.maxHeaderFields)
        return fail(Verdict::HeaderTooLarge);
    if (nameEnd >= Kept)
        return Verdict::Ok;
    if (equalsLower(m_line, nameEnd, "connection")) {
        // A list of options; "close" among them, in any case, within what is kept.
        for (int from = nameEnd + 1; from < qMin(length, Kept); ++from) {
            if (from + 5 <= qMin(length, Kept) && equalsLower(m_line + from, 5, "close")
                && (from + 5 == qMin(length, Kept) || !isToken(uchar(m_line[from + 5])))
                && !isToken(uchar(m_line[from - 1])))
                m_close = true;
        }
    } else if (equalsLower(m_line, nameEnd, "transfer-encoding")) {
        m_transferCoding = true;
    } else if (equalsLower(m_line, nameEnd, "content-length")) {
        if (length > Kept)
            return fail(Verdict::BadRequest);
        int from = nameEnd + 1, to = length;
        while (from < to && (m_line[from] == ' ' || m_line[from] == '\t'))
            ++from;
        while (to > from && (m_line[to - 1] == ' ' || m_line[to - 1] == '\t'))
            --to;
        qint64 value = 0;
        for (int i = from; i < to; ++i) {
            if (m_line[i] < '0' || m_line[i] > '9')
                return fail(Verdict::BadRequest);
            if ((value = value * 10 + (m_line[i] - '0')) > m_limits.maxBody)
                return fail(Verdict::BodyTooLarge);
        }
        // Of two different lengths, a proxy in front may have taken the other one.
        if (from == to || (m_contentLength >= 0 && m_contentLength != value))
            return fail(Verdict::BadRequest);
        m_contentLength = value;
    }
    return Verdict::Ok;
}

const char *RequestReader::meaning(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Ok: return "ok";
    case Verdict::BadRequest: return "malformed request";
    case Verdict::LengthRequired: return "body of unannounced length";
    case Verdict::BodyTooLarge: return "body too large";
    case Verdict::RequestLineTooLong: return "request line too long";
    case Verdict::HeaderTooLarge: return "header fields too large";
    }
    return "malformed request";
}
