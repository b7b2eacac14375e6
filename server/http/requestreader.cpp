#include "server/http/requestreader.h"

#include <cstring>
#include <utility>

namespace {

// Token characters: what a method or a field name is made of.
bool isToken(uchar c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
        || (c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

char lower(uchar c)
{
    return char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
}

bool isControl(uchar c)
{
    return c < 0x20 || c == 0x7f;
}

constexpr qsizetype ElementKept = 64; // of X-Forwarded-For: an address, with room to spare

} // namespace

RequestReader::Verdict RequestReader::feed(const char *data, qsizetype size)
{
    for (qsizetype at = 0; at < size && m_verdict == Verdict::Ok;)
        at += take(data + at, size - at);
    return m_verdict;
}

qsizetype RequestReader::take(const char *data, qsizetype size)
{
    qsizetype at = 0;
    m_ended = false;
    while (at < size && m_verdict == Verdict::Ok && !m_ended) {
        if (m_state == State::Body) {
            const qint64 skipped = qMin<qint64>(m_bodyLeft, size - at);
            at += skipped;
            if ((m_bodyLeft -= skipped) == 0)
                endRequest();
        } else {
            step(uchar(data[at++]));
        }
    }
    return at;
}

void RequestReader::step(uchar c)
{
    if (!std::exchange(m_anyByte, true) && (m_tls = c == 0x16))
        return fail(Verdict::BadRequest); // a TLS record: its handshake
    // A carriage return ends a line with the line feed after it, or is refused.
    if (std::exchange(m_cr, false) && c != '\n')
        return fail(Verdict::BadRequest);
    if (c == '\r' || c == '\n') {
        m_cr = c == '\r';
        // Blank lines before a request are skipped, but counted with its
        // line: no endless run of them is read.
        if (m_state == State::Blank && ++m_lineBytes > m_limits.maxRequestLine)
            fail(Verdict::RequestLineTooLong);
        else if (m_state != State::Blank && c == '\n')
            lineEnded();
        return;
    }
    if (m_state < State::Name ? ++m_lineBytes > m_limits.maxRequestLine
                              : ++m_headerBytes > m_limits.maxHeaderBytes)
        return fail(m_state < State::Name ? Verdict::RequestLineTooLong : Verdict::HeaderTooLarge);

    switch (m_state) {
    case State::Blank:
        m_head = {}; // the last request's has been read by now
        m_state = State::Method;
        [[fallthrough]];
    case State::Method:
        if (c == ' ' && !m_head.method.isEmpty())
            m_state = State::Target;
        else if (isToken(c))
            m_head.method += char(c);
        else
            fail(Verdict::BadRequest); // blanks before it too
        return;
    case State::Target:
        if (c == ' ' && targetRead())
            m_state = State::Version;
        else if (c == ' ' || isControl(c))
            fail(Verdict::BadRequest); // bytes from 0x80 up are left to the scripts, which percent-encode them
        else
            m_head.target += char(c);
        return;
    case State::Version: {
        constexpr char Version[] = "HTTP/1.";
        const int at = m_versionAt++;
        if (at < 7 ? c != uchar(Version[at]) : c < '0' || c > '9')
            return fail(Verdict::BadRequest); // HTTP/2's preface too
        if (at == 7) {
            // HTTP/1.0 keeps no connection unless both sides say so; ours never does.
            m_head.minorVersion = c == '0' ? 0 : 1;
            m_head.close = c == '0';
        }
        return;
    }
    case State::Name:
        if (m_nameLength == 0 && ++m_fields > m_limits.maxHeaderFields)
            return fail(Verdict::HeaderTooLarge);
        if (c == ':' && m_nameLength > 0) {
            m_state = State::Value;
            return fieldNamed();
        }
        // A blank at the start (a folded line) or before the colon: a proxy
        // in front might read that field, or the request's end, otherwise.
        if (!isToken(c))
            return fail(Verdict::BadRequest);
        if (m_nameLength < NameKept)
            m_name[m_nameLength] = lower(c);
        ++m_nameLength;
        return;
    case State::Value:
        if (isControl(c) && c != '\t')
            return fail(Verdict::BadRequest);
        return valueByte(c, c == ' ' || c == '\t');
    case State::Body:
        return;
    }
}

void RequestReader::lineEnded()
{
    switch (m_state) {
    case State::Version:
        if (m_versionAt != 8)
            return fail(Verdict::BadRequest);
        m_state = State::Name;
        return;
    case State::Name:
        if (m_nameLength > 0)
            return fail(Verdict::BadRequest); // a field with no colon
        // The end of the fields.
        if (m_hosts == 0 && m_head.minorVersion > 0)
            return fail(Verdict::BadRequest);
        m_bodyLeft = qMax<qint64>(m_contentLength, 0);
        if (m_bodyLeft > 0)
            m_state = State::Body;
        else
            endRequest();
        return;
    case State::Value:
        fieldEnded();
        m_state = State::Name;
        m_nameLength = 0;
        return;
    default:
        return fail(Verdict::BadRequest); // no version
    }
}

// The request target as sent, put into the one form the scripts read.
bool RequestReader::targetRead()
{
    QByteArray &target = m_head.target;
    if (target.startsWith('/') || target == "*")
        return true;
    const int scheme = qstrnicmp(target.constData(), "http://", 7) == 0 ? 7
                     : qstrnicmp(target.constData(), "https://", 8) == 0 ? 8 : 0;
    if (scheme == 0) // a CONNECT's host:port, as sent
        return m_head.method == "CONNECT" && !target.isEmpty() && !target.contains('/');
    qsizetype path = scheme;
    while (path < target.size() && target[path] != '/' && target[path] != '?')
        ++path;
    if (path == scheme)
        return false; // no host
    target.remove(0, path);
    if (!target.startsWith('/'))
        target.prepend('/');
    return true;
}

void RequestReader::fieldNamed()
{
    static constexpr struct { const char *name; Field field; } Known[] = {
        {"host", Field::Host},
        {"content-length", Field::ContentLength},
        {"transfer-encoding", Field::TransferEncoding},
        {"connection", Field::Connection},
        {"x-forwarded-for", Field::ForwardedFor},
    };
    m_field = Field::Other;
    for (const auto &known : Known) {
        if (int(std::strlen(known.name)) == m_nameLength && std::memcmp(known.name, m_name, size_t(m_nameLength)) == 0)
            m_field = known.field;
    }
    if (m_field == Field::Host && ++m_hosts > 1)
        fail(Verdict::BadRequest); // which one names the site?
    else if (m_field == Field::TransferEncoding)
        fail(Verdict::LengthRequired); // we read no body whose length is not told first
    else if (m_field == Field::ForwardedFor && !m_readForwardedFor)
        m_field = Field::Other;
    else if (m_field == Field::ForwardedFor)
        m_head.forwardedFor.truncate(0);
    m_value = m_lengthPart = m_option = 0;
    m_longElement = false;
}

void RequestReader::valueByte(uchar c, bool ows)
{
    switch (m_field) {
    case Field::ContentLength:
        if (c >= '0' && c <= '9' && m_lengthPart < 2) {
            m_lengthPart = 1;
            if ((m_value = m_value * 10 + (c - '0')) > m_limits.maxBody)
                fail(Verdict::BodyTooLarge);
        } else if (ows) {
            m_lengthPart = m_lengthPart > 0 ? 2 : 0;
        } else {
            fail(Verdict::BadRequest); // a list of lengths too
        }
        break;
    case Field::Connection:
        if (c == ',')
            fieldEnded();
        else if (ows)
            m_option = m_option >= 5 ? 6 : m_option == 0 ? 0 : -1;
        else
            m_option = m_option >= 0 && m_option < 5 && lower(c) == "close"[m_option] ? m_option + 1 : -1;
        break;
    case Field::ForwardedFor: {
        // The element being read, from its first byte that is no blank;
        // blanks past the kept bytes can only be trailing ones.
        QByteArray &element = m_head.forwardedFor;
        if (c == ',') {
            element.truncate(0);
            m_longElement = false;
        } else if (m_longElement || (ows && element.isEmpty())) {
        } else if (element.size() < ElementKept) {
            element += char(c);
        } else if (!ows) {
            element.truncate(0);
            m_longElement = true;
        }
        break;
    }
    default:
        break;
    }
}

// The end of a field line, or of a Connection option.
void RequestReader::fieldEnded()
{
    switch (m_field) {
    case Field::ContentLength:
        // Of two different lengths, a proxy in front may have taken the other one.
        if (m_lengthPart == 0 || (m_contentLength >= 0 && m_contentLength != m_value))
            return fail(Verdict::BadRequest);
        m_contentLength = m_value;
        return;
    case Field::Connection:
        m_head.close |= m_option >= 5;
        m_option = 0;
        return;
    case Field::ForwardedFor:
        while (m_head.forwardedFor.endsWith(' ') || m_head.forwardedFor.endsWith('\t'))
            m_head.forwardedFor.chop(1);
        return;
    default:
        return;
    }
}

void RequestReader::endRequest()
{
    ++m_completed;
    m_ended = true;
    m_state = State::Blank;
    m_contentLength = -1;
    m_lineBytes = m_headerBytes = m_fields = m_hosts = m_versionAt = m_nameLength = 0;
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
