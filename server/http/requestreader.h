#pragma once

#include <QByteArray>
#include <QtGlobal>

// What one request may send, checked as its bytes come in, before any of it
// is kept.
struct RequestLimits
{
    // A registration at its largest (11 details of 256 characters that each
    // take 9 bytes percent-encoded) is about 25 KiB.
    int maxRequestLine = 32 * 1024; // blank lines before it count too
    int maxHeaderBytes = 16 * 1024; // every field line of one request together
    int maxHeaderFields = 64;
    qint64 maxBody = 16 * 1024;     // the scripts read no body; other methods get 405
};

// What is kept of a request: all a handler and the connection need.
struct RequestHead
{
    QByteArray method;       // as sent (a token)
    QByteArray target;       // "/path?query" as sent, also of an absolute target; "*", or CONNECT's authority, as sent
    int minorVersion = 1;    // HTTP/1.<minor>: 0, or 1 for any later one
    bool close = false;      // HTTP/1.0, or "close" among the Connection options
    QByteArray forwardedFor; // the last element of the last X-Forwarded-For field, at most 64 bytes; only when asked for
};

// Reads the HTTP/1.x requests of one connection in one pass over their bytes:
// where each one ends, whether it keeps to the limits and to the grammar, and
// its head. Nothing is allocated but the head's fields; a body is skipped.
class RequestReader
{
public:
    // Each the HTTP status that answers it.
    enum class Verdict {
        Ok = 200,
        BadRequest = 400,         // not "METHOD target HTTP/1.x", a field line that is no "name: value", a bad length or Host
        LengthRequired = 411,     // a body of unannounced length (Transfer-Encoding)
        BodyTooLarge = 413,
        RequestLineTooLong = 414,
        HeaderTooLarge = 431,     // too many fields or bytes
    };

    explicit RequestReader(const RequestLimits &limits = {}, bool readForwardedFor = false)
        : m_limits(limits)
        , m_readForwardedFor(readForwardedFor)
    {}

    // Takes the next bytes of the connection, and stops right after the first
    // request that ends in them: the bytes taken. The first verdict other than
    // Ok is final: nothing after it is looked at.
    qsizetype take(const char *data, qsizetype size);
    // Every request in data (fuzzing, tests).
    Verdict feed(const char *data, qsizetype size);
    Verdict verdict() const { return m_verdict; }
    // The last take() ended a request: head() is that request's.
    bool requestEnded() const { return m_ended; }
    const RequestHead &head() const { return m_head; }

    // A byte of the next request (blank lines included) has come, and its end not yet.
    bool midRequest() const { return m_state != State::Blank || m_lineBytes > 0; }
    // Requests seen to their end.
    qint64 completed() const { return m_completed; }
    // The first byte of the connection opened a TLS handshake.
    bool tlsHandshake() const { return m_tls; }

    static const char *meaning(Verdict verdict); // for the access log

private:
    enum class State : quint8 { Blank, Method, Target, Version, Name, Value, Body };
    enum class Field : quint8 { Other, Host, ContentLength, TransferEncoding, Connection, ForwardedFor };

    void step(uchar c);
    void lineEnded();
    bool targetRead();
    void fieldNamed();
    void valueByte(uchar c, bool ows);
    void fieldEnded();
    void endRequest();
    void fail(Verdict verdict) { m_verdict = verdict; }

    RequestLimits m_limits;
    RequestHead m_head;
    bool m_readForwardedFor;
    State m_state = State::Blank;
    Verdict m_verdict = Verdict::Ok;
    Field m_field = Field::Other;
    bool m_anyByte = false;
    bool m_tls = false;
    bool m_ended = false;
    bool m_cr = false;         // the last byte was a carriage return: a line feed must follow
    bool m_longElement = false; // of X-Forwarded-For: over 64 bytes, skipped to the next comma
    qint64 m_completed = 0;
    qint64 m_bodyLeft = 0;
    qint64 m_contentLength = -1;
    qint64 m_value = 0;    // of the Content-Length field being read
    int m_lengthPart = 0;  // in it: 0 before its digits, 1 in them, 2 after
    int m_option = 0;      // of the Connection option being read: bytes of "close" matched, 6 "close" and OWS, -1 another
    int m_lineBytes = 0;   // of the request line and the blank lines before it
    int m_headerBytes = 0;
    int m_fields = 0;
    int m_hosts = 0;
    int m_versionAt = 0;   // bytes of "HTTP/1.d" read
    int m_nameLength = 0;  // of the field line being read: 0 at its start
    // Enough of a name to tell the fields read: "transfer-encoding" is the longest.
    static constexpr int NameKept = 17;
    char m_name[NameKept] = {};
};
