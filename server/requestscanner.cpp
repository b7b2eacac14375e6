#include "server/requestscanner.h"

#include <cstring>

namespace {

// RFC 9110 token characters: methods and field names.
bool isToken(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
        || (c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

bool isControl(unsigned char c)
{
    return c < 0x20 || c == 0x7f;
}

bool equalsLower(const char *text, int size, const char *lower)
{
    if (int(std::strlen(lower)) != size)
        return false;
    for (int i = 0; i < size; ++i) {
        const char c = text[i] >= 'A' && text[i] <= 'Z' ? char(text[i] - 'A' + 'a') : text[i];
        if (c != lower[i])
            return false;
    }
    return true;
}

quint64 tailOf(const char *text)
{
    quint64 tail = 0;
    for (int i = 0; i < 8; ++i)
        tail = tail << 8 | quint8(text[i]);
    return tail;
}

} // namespace

RequestScanner::Verdict RequestScanner::feed(const char *data, qsizetype size)
{
    const char *p = data;
    const char *const end = data + size;
    while (m_verdict == Verdict::Ok && p < end) {
        if (m_state == State::Body) {
            const qint64 take = qMin<qint64>(m_bodyLeft, end - p);
            p += take;
            m_bodyLeft -= take;
            if (m_bodyLeft == 0)
                requestEnded();
            continue;
        }
        const unsigned char c = static_cast<unsigned char>(*p++);
        if (c == '\n') {
            lineEnded();
            continue;
        }
        if (m_cr) // a carriage return only ends a line
            return fail(Verdict::BadRequest);
        m_cr = c == '\r';

        const int at = m_lineLength++;
        if (m_state == State::RequestLine) {
            if (m_lineLength > m_limits.maxRequestLine + 1) // + 1: its carriage return
                return fail(Verdict::RequestLineTooLong);
        } else if (++m_headerBytes > m_limits.maxHeaderBytes) {
            return fail(Verdict::HeaderTooLarge);
        }
        if (at < Kept)
            m_line[at] = char(c);
        if (m_cr)
            continue;
        m_tail = m_tail << 8 | c;

        if (m_state == State::RequestLine) {
            if (c == ' ') {
                if (m_spaces++ == 0)
                    m_firstSpace = at;
                m_lastSpace = at;
            } else if (isControl(c) || (m_spaces == 0 && !isToken(c))) {
                return fail(Verdict::BadRequest);
            }
        } else if (m_colon < 0) {
            if (c == ':')
                m_colon = at;
            else if (!isToken(c)) // also a folded line, which starts with a space
                return fail(Verdict::BadRequest);
        } else if (isControl(c) && c != '\t') {
            return fail(Verdict::BadRequest);
        }
    }
    return m_verdict;
}

RequestScanner::Verdict RequestScanner::lineEnded()
{
    const Verdict verdict = m_state == State::RequestLine ? requestLineEnded() : headerLineEnded();
    m_lineLength = 0;
    m_tail = 0;
    m_spaces = 0;
    m_firstSpace = -1;
    m_lastSpace = -1;
    m_colon = -1;
    m_cr = false;
    return verdict;
}

RequestScanner::Verdict RequestScanner::requestLineEnded()
{
    const int length = m_lineLength - (m_cr ? 1 : 0);
    if (length == 0) {
        // Empty lines before a request are allowed, a few of them.
        return ++m_emptyLines > 8 ? fail(Verdict::BadRequest) : Verdict::Ok;
    }
    // METHOD SP target SP HTTP/1.x
    static const quint64 http10 = tailOf("HTTP/1.0");
    static const quint64 http11 = tailOf("HTTP/1.1");
    const bool shaped = m_spaces == 2 && m_firstSpace > 0 && m_lastSpace > m_firstSpace + 1
        && m_lastSpace == length - 9 && (m_tail == http10 || m_tail == http11);
    if (!shaped)
        return fail(Verdict::BadRequest);
    // Qt's parser drops the connection without an answer on a method it does
    // not know; CONNECT it takes for a tunnel.
    static const char *const methods[] = {"GET", "HEAD", "POST", "PUT", "DELETE", "OPTIONS", "TRACE", "PATCH"};
    bool known = false;
    for (const char *method : methods)
        known = known || (m_firstSpace < Kept && int(std::strlen(method)) == m_firstSpace
                          && std::memcmp(method, m_line, size_t(m_firstSpace)) == 0);
    if (!known)
        return fail(Verdict::UnknownMethod);
    m_emptyLines = 0;
    m_state = State::HeaderLine;
    return Verdict::Ok;
}

RequestScanner::Verdict RequestScanner::headerLineEnded()
{
    const int length = m_lineLength - (m_cr ? 1 : 0);
    if (length == 0) {
        if (m_transferCoding)
            return fail(Verdict::LengthRequired);
        if (m_contentLength > m_limits.maxBody)
            return fail(Verdict::BodyTooLarge);
        if (m_contentLength > 0) {
            m_bodyLeft = m_contentLength;
            m_state = State::Body;
        } else {
            requestEnded();
        }
        return Verdict::Ok;
    }
    if (m_colon <= 0)
        return fail(Verdict::BadRequest);
    if (++m_fields > m_limits.maxHeaderFields)
        return fail(Verdict::HeaderTooLarge);

    if (m_colon < Kept && equalsLower(m_line, m_colon, "transfer-encoding")) {
        m_transferCoding = true;
    } else if (m_colon < Kept && equalsLower(m_line, m_colon, "content-length")) {
        if (length > Kept)
            return fail(Verdict::BadRequest);
        int from = m_colon + 1;
        int to = length;
        while (from < to && (m_line[from] == ' ' || m_line[from] == '\t'))
            ++from;
        while (to > from && (m_line[to - 1] == ' ' || m_line[to - 1] == '\t'))
            --to;
        qint64 value = 0;
        for (int i = from; i < to; ++i) {
            if (m_line[i] < '0' || m_line[i] > '9' || value > m_limits.maxBody)
                return fail(m_line[i] < '0' || m_line[i] > '9' ? Verdict::BadRequest : Verdict::BodyTooLarge);
            value = value * 10 + (m_line[i] - '0');
        }
        if (from == to || (m_contentLength >= 0 && m_contentLength != value))
            return fail(Verdict::BadRequest);
        m_contentLength = value;
    }
    return Verdict::Ok;
}

void RequestScanner::requestEnded()
{
    ++m_completed;
    m_state = State::RequestLine;
    m_contentLength = -1;
    m_transferCoding = false;
    m_headerBytes = 0;
    m_fields = 0;
    m_bodyLeft = 0;
}

int RequestScanner::status(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Ok:
        return 200;
    case Verdict::BadRequest:
        return 400;
    case Verdict::LengthRequired:
        return 411;
    case Verdict::BodyTooLarge:
        return 413;
    case Verdict::RequestLineTooLong:
        return 414;
    case Verdict::HeaderTooLarge:
        return 431;
    case Verdict::UnknownMethod:
        return 501;
    }
    return 400;
}

const char *RequestScanner::reason(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Ok:
        return "OK";
    case Verdict::BadRequest:
        return "Bad Request";
    case Verdict::LengthRequired:
        return "Length Required";
    case Verdict::BodyTooLarge:
        return "Content Too Large";
    case Verdict::RequestLineTooLong:
        return "URI Too Long";
    case Verdict::HeaderTooLarge:
        return "Request Header Fields Too Large";
    case Verdict::UnknownMethod:
        return "Not Implemented";
    }
    return "Bad Request";
}
