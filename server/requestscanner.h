#pragma once

#include <QByteArray>
#include <QtGlobal>

// What one connection may send. Qt's HTTP server of 6.4 buffers a request
// without bound until it is complete, so these are checked before it reads.
struct RequestLimits
{
    // A registration at its largest (11 details of 256 characters that each
    // take 9 bytes percent-encoded) is about 25 KiB.
    int maxRequestLine = 32 * 1024;
    int maxHeaderBytes = 16 * 1024; // every header line of one request together
    int maxHeaderFields = 64;
    qint64 maxBody = 16 * 1024;     // the scripts read no body; other methods get 405
};

// Follows the bytes of the HTTP/1.1 requests on one connection just far
// enough to tell where each ends and whether it keeps to the limits and to
// the shape of a request line and header fields. No allocation per byte.
class RequestScanner
{
public:
    enum class Verdict {
        Ok,
        BadRequest,         // 400: not an HTTP/1.x request
        LengthRequired,     // 411: a body of unannounced length (Transfer-Encoding)
        BodyTooLarge,       // 413
        RequestLineTooLong, // 414
        HeaderTooLarge,     // 431: too many fields or bytes
        UnknownMethod,      // 501: none of the methods HTTP/1.1 defines
    };

    explicit RequestScanner(const RequestLimits &limits = {})
        : m_limits(limits)
    {}

    // Takes the next bytes of the connection. The first verdict other than Ok
    // is final: nothing after it is looked at.
    Verdict feed(const char *data, qsizetype size);
    Verdict feed(const QByteArray &bytes) { return feed(bytes.constData(), bytes.size()); }

    Verdict verdict() const { return m_verdict; }
    // A request has begun and its end has not been seen.
    bool midRequest() const { return m_state != State::RequestLine || m_lineLength > 0; }
    // Requests seen to their end.
    qint64 completed() const { return m_completed; }

    static int status(Verdict verdict);
    static const char *reason(Verdict verdict); // HTTP reason phrase

private:
    enum class State { RequestLine, HeaderLine, Body };

    Verdict lineEnded();
    Verdict requestLineEnded();
    Verdict headerLineEnded();
    void requestEnded();
    Verdict fail(Verdict verdict) { return m_verdict = verdict; }

    RequestLimits m_limits;
    State m_state = State::RequestLine;
    Verdict m_verdict = Verdict::Ok;
    qint64 m_completed = 0;
    qint64 m_bodyLeft = 0;
    qint64 m_contentLength = -1;
    bool m_transferCoding = false;
    int m_lineLength = 0;  // bytes of the line so far, line break excluded
    int m_headerBytes = 0; // bytes of the header fields so far
    int m_fields = 0;
    // The start of the current line: enough for a request line's shape and
    // for a field's name and a Content-Length value.
    static constexpr int Kept = 96;
    char m_line[Kept] = {};
    quint64 m_tail = 0;     // the last 8 bytes of the line, for the HTTP version
    int m_spaces = 0;       // in the request line
    int m_firstSpace = -1;
    int m_lastSpace = -1;
    int m_colon = -1;       // in a field line
    int m_emptyLines = 0;   // before a request line, which a client may send
    bool m_cr = false;      // the previous byte was a carriage return
};
