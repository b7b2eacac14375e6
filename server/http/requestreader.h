#pragma once

#include <QByteArray>
#include <QtGlobal>

// What one request may send, checked as its bytes come in, before any of it
// is kept.
struct RequestLimits
{
    // A registration at its largest (11 details of 256 characters that each
    // take 9 bytes percent-encoded) is about 25 KiB.
    int maxRequestLine = 32 * 1024;
    int maxHeaderBytes = 16 * 1024; // every header line of one request together
    int maxHeaderFields = 64;
    qint64 maxBody = 16 * 1024;     // the scripts read no body; other methods get 405
};

// Follows the bytes of the HTTP/1.x requests on one connection just far
// enough to tell where each one ends, whether it keeps to the limits, and
// whether its client wants the connection closed after it. No allocation,
// whatever the input.
class RequestReader
{
public:
    // Each the HTTP status that answers it.
    enum class Verdict {
        Ok = 200,
        BadRequest = 400,         // not "METHOD target HTTP/1.x", a field with no name, a length that is no number
        LengthRequired = 411,     // a body of unannounced length (Transfer-Encoding)
        BodyTooLarge = 413,
        RequestLineTooLong = 414,
        HeaderTooLarge = 431,     // too many fields or bytes
    };

    explicit RequestReader(const RequestLimits &limits = {})
        : m_limits(limits)
    {}

    // Takes the next bytes of the connection. The first verdict other than Ok
    // is final: nothing after it is looked at.
    Verdict feed(const char *data, qsizetype size);
    // The same, but stops right after the first request that ends in data:
    // the bytes taken. With verdict() Ok and requestEnded(), they end a request.
    qsizetype take(const char *data, qsizetype size);
    Verdict verdict() const { return m_verdict; }
    // The last take() ended a request.
    bool requestEnded() const { return m_ended; }
    // The request last ended asked for the connection to close after its
    // answer: HTTP/1.0, or "Connection: close".
    bool wantsClose() const { return m_close; }

    // A request has begun and its end has not been seen.
    bool midRequest() const { return m_state != State::Idle; }
    // Requests seen to their end.
    qint64 completed() const { return m_completed; }
    // The first byte of the connection opened a TLS handshake.
    bool tlsHandshake() const { return m_tls; }

    static const char *meaning(Verdict verdict); // for the access log

private:
    enum class State { Idle, RequestLine, HeaderLine, Body };

    Verdict lineEnded();
    Verdict fail(Verdict verdict) { return m_verdict = verdict; }

    RequestLimits m_limits;
    State m_state = State::Idle;
    Verdict m_verdict = Verdict::Ok;
    qint64 m_completed = 0;
    qint64 m_bodyLeft = 0;
    qint64 m_contentLength = -1;
    bool m_transferCoding = false;
    bool m_tls = false;
    bool m_anyByte = false;
    bool m_ended = false;
    bool m_close = false;   // of the request being read, then of the one ended
    int m_lineLength = 0;  // bytes of the line so far, line break excluded
    int m_headerBytes = 0; // bytes of the header lines so far
    int m_fields = 0;
    int m_spaces = 0;      // in the request line
    int m_nameEnd = -1;    // the method's or field name's end: the first space or colon
    int m_lastSpace = -1;
    bool m_cr = false;     // the line's last byte so far is a carriage return
    // The start of the line: enough for a field name and a Content-Length value.
    static constexpr int Kept = 64;
    char m_line[Kept] = {};
    quint64 m_tail = 0; // its last 8 bytes but carriage returns: the request line's version
};
