#include "server/http/requestreader.h"

#include <QRegularExpression>
#include <QTest>

// Small, so that every limit is reached in a row of a line; the header's is
// above 64 for the rows that read a field past that.
static constexpr RequestLimits Limits{40, 200, 4, 9};

static QByteArray get(const QByteArray &fields = {}, const QByteArray &target = "/")
{
    return "GET " + target + " HTTP/1.1\r\nHost: h\r\n" + fields + "\r\n";
}

// A request whose line is length bytes long, its lines ended by eol.
static QByteArray line(int length, const QByteArray &eol = "\r\n")
{
    return "GET /" + QByteArray(length - 14, 'a') + " HTTP/1.1" + eol + "Host: h" + eol + eol;
}

// A field line of length bytes, its terminator left out.
static QByteArray field(int length)
{
    return "X: " + QByteArray(length - 3, 'x') + "\r\n";
}

static QByteArray describe(const RequestHead &head)
{
    return head.method + ' ' + head.target + (head.minorVersion != 1 ? " 1." + QByteArray::number(head.minorVersion) : "")
        + (head.close ? " close" : "") + (head.forwardedFor.isEmpty() ? "" : " for=" + head.forwardedFor);
}

static QByteArray outcome(int verdict, const QList<int> &ends, const QByteArray &heads, bool mid, bool tls)
{
    QByteArray text = QByteArray::number(verdict) + " ends";
    for (int end : ends)
        text += ' ' + QByteArray::number(end);
    return text + (verdict == 200 && mid ? " mid" : "") + (tls ? " tls" : "") + " heads " + heads;
}

// Takes raw in pieces starting at cuts, as a connection would.
static QByteArray read(const QByteArray &raw, QList<qsizetype> cuts, bool forwardedFor = true)
{
    RequestReader reader(Limits, forwardedFor);
    QList<int> ends;
    QByteArray heads;
    qsizetype at = 0;
    for (qsizetype cut : cuts << raw.size()) {
        while (at < cut && reader.verdict() == RequestReader::Verdict::Ok) {
            at += reader.take(raw.constData() + at, cut - at);
            if (reader.requestEnded()) {
                ends << int(at);
                heads += (heads.isEmpty() ? "" : "|") + describe(reader.head());
            }
        }
    }
    const bool more = reader.verdict() != RequestReader::Verdict::Ok && reader.take(raw.constData(), raw.size()) > 0;
    return outcome(int(reader.verdict()), ends, heads, reader.midRequest(), reader.tlsHandshake()) + (more ? " took more" : "");
}

// A row: its input, in pieces of which the first ones each end a request
// with a head of heads ("|" between them).
static void requests(const char *name, const QByteArrayList &pieces, int verdict, const QByteArray &heads = {})
{
    QList<int> ends;
    int at = 0;
    for (const QByteArray &piece : pieces.first(heads.isEmpty() ? 0 : heads.count('|') + 1))
        ends << (at += int(piece.size()));
    QTest::newRow(name) << pieces.join() << verdict << heads << ends;
}

static void row(const char *name, const QByteArray &raw, int verdict, const QByteArray &heads = {})
{
    requests(name, {raw}, verdict, heads);
}

class tst_RequestReader : public QObject
{
    Q_OBJECT

private slots:
    void reads_data()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<int>("verdict");
        QTest::addColumn<QByteArray>("heads"); // of the requests ended, by "|"
        QTest::addColumn<QList<int>>("ends");  // where each ended
        const QByteArray xff = "X-Forwarded-For: ";
        // The request line and its target.
        row("origin-form", get({}, "/a?b=1"), 200, "GET /a?b=1");
        row("bare LF lines", "GET /a HTTP/1.1\nHost: h\n\n", 200, "GET /a");
        row("HTTP/1.0 without Host", "GET / HTTP/1.0\r\n\r\n", 200, "GET / 1.0 close");
        row("HTTP/1.9 read as 1.1", "GET / HTTP/1.9\r\nHost: h\r\n\r\n", 200, "GET /");
        row("absolute-form", get({}, "HTTP://Example.org:80/p?q"), 200, "GET /p?q");
        row("absolute-form without a path", get({}, "https://h"), 200, "GET /");
        row("absolute-form with a query alone", get({}, "http://h?q=/"), 200, "GET /?q=/");
        row("absolute-form without a host", get({}, "http:///p"), 400);
        row("asterisk-form", "OPTIONS * HTTP/1.1\r\nHost: h\r\n\r\n", 200, "OPTIONS *");
        row("authority-form with CONNECT", "CONNECT h:443 HTTP/1.1\r\nHost: h\r\n\r\n", 200, "CONNECT h:443");
        row("authority-form otherwise", get({}, "h:443"), 400);
        row("bytes from 0x80 in the target", get({}, "/\xc3\xa9\xff"), 200, "GET /\xc3\xa9\xff");
        row("control byte in the target", get({}, "/a\x01"), 400);
        row("DEL in the target", get({}, "/a\x7f"), 400);
        row("space in the target", get({}, "/a b"), 400);
        row("two spaces", "GET  / HTTP/1.1\r\nHost: h\r\n\r\n", 400);
        row("space after the version", "GET / HTTP/1.1 \r\nHost: h\r\n\r\n", 400);
        row("space before the line", " GET / HTTP/1.1\r\nHost: h\r\n\r\n", 400);
        row("tab before the line", "\r\n\tGET / HTTP/1.1\r\nHost: h\r\n\r\n", 400);
        row("method not a token", "G(T / HTTP/1.1\r\nHost: h\r\n\r\n", 400);
        row("no version", "GET /\r\nHost: h\r\n\r\n", 400);
        row("HTTP/1.10", "GET / HTTP/1.10\r\nHost: h\r\n\r\n", 400);
        row("HTTP/2 preface", "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", 400);
        row("bare CR ending the line", "GET / HTTP/1.1\rHost: h\r\n\r\n", 400);
        row("TLS handshake", QByteArray("\x16\x03\x01\x02\x00\x01", 6), 400);
        requests("TLS byte after a request", {get(), "\x16\x03\x01"}, 400, "GET /");
        // Blank lines before a request: skipped, counted.
        row("blank lines before", "\r\n\n\r\n" + get(), 200, "GET /");
        requests("blank lines after", {get(), "\r\n\n"}, 200, "GET /");
        row("blank lines and line at the limit", "\r\n\n" + line(37), 200, "GET /" + QByteArray(23, 'a'));
        row("blank lines and line one over", "\r\n\n" + line(38), 414);
        requests("blank lines counted per request", {"\r\n\r\n" + line(36), "\n\n\n\n" + line(36)}, 200,
                 "GET /" + QByteArray(22, 'a') + "|GET /" + QByteArray(22, 'a'));
        row("endless blank lines", QByteArray("\r\n").repeated(200), 414);
        requests("endless blank lines after a request", {get(), QByteArray(50, '\n')}, 414, "GET /");
        // The request line's limit, without its terminator.
        row("request line at the limit", line(40), 200, "GET /" + QByteArray(26, 'a'));
        row("request line one over", line(41), 414);
        row("request line at the limit, LF", line(40, "\n"), 200, "GET /" + QByteArray(26, 'a'));
        row("request line one over, LF", line(41, "\n"), 414);
        row("request line one over, unended", line(41).first(41), 414);
        // Field lines.
        row("obs-fold", get("X: a\r\n b\r\n"), 400);
        row("blank before the first field", "GET / HTTP/1.1\r\n Host: h\r\n\r\n", 400);
        row("blank before the colon", get("X : a\r\n"), 400);
        row("field with no name", get(": a\r\n"), 400);
        row("field with no colon", get("X\r\n"), 400);
        row("name not a token", get("X@Y: a\r\n"), 400);
        row("tab and obs-text in a value", get("X: \ta\tb\x80\xff \r\n"), 200, "GET /");
        row("NUL in a value", get(QByteArray("X: a\0b\r\n", 8)), 400);
        row("bare CR in a value", get("X: a\rb\r\n"), 400);
        row("escape in a value", get("X: \x1b[0m\r\n"), 400);
        row("DEL in a value", get("X: \x7f\r\n"), 400);
        row("field bytes at the limit", get(field(193)), 200, "GET /");
        row("field bytes one over", get(field(194)), 431);
        row("field bytes over, unended", get(field(300)).first(250), 431);
        row("fields at the limit", get(field(4).repeated(3)), 200, "GET /");
        row("one field too many", get(field(4).repeated(4)), 431);
        row("no Host", "GET / HTTP/1.1\r\nX: a\r\n\r\n", 400);
        row("two Hosts", get("host: h\r\n"), 400);
        row("two Hosts, HTTP/1.0", "GET / HTTP/1.0\r\nHost: a\r\nHOST: a\r\n\r\n", 400);
        // Bodies: skipped, the request ends after them.
        row("body at the limit", get("Content-Length: 9\r\n") + "\r\n\x16GET /\r", 200, "GET /");
        row("body one over", get("Content-Length: 10\r\n") + "0123456789", 413);
        row("length with blanks", get("Content-Length: \t3 \t\r\n") + "abc", 200, "GET /");
        row("length empty", get("Content-Length: \r\n"), 400);
        row("length not a number", get("Content-Length: 1x\r\n") + "1x", 400);
        row("length's digits apart", get("Content-Length: 1 2\r\n") + "12", 400);
        row("same length twice", get("Content-Length: 3\r\ncontent-length: 3\r\n") + "abc", 200, "GET /");
        row("two lengths", get("Content-Length: 1\r\nContent-Length: 2\r\n") + "ab", 400);
        row("a list of lengths", get("Content-Length: 2, 2\r\n") + "ab", 400);
        row("Transfer-Encoding with a length", get("Content-Length: 1\r\ntransfer-encoding: identity\r\n") + "a", 411);
        // Connection options.
        row("Connection: close", get("Connection: close\r\n"), 200, "GET / close");
        row("close among options", get("Connection: keep-alive ,\tCLOSE \t, upgrade\r\n"), 200, "GET / close");
        row("close far past 64 bytes", get("Connection: " + QByteArray("keep-alive, ").repeated(8) + "cLose\r\n"), 200,
            "GET / close");
        row("close in the second field", get("Connection: a\r\nConnection: b,close\r\n"), 200, "GET / close");
        row("options like close", get("Connection: closed, x-close, clo se,close-\r\nX-Connection: close\r\n"), 200,
            "GET /");
        // X-Forwarded-For.
        row("forwarded for", get(xff + "198.51.100.7 ,\t192.0.2.1 \t\r\n"), 200, "GET / for=192.0.2.1");
        row("forwarded for, the last field", get(xff + "192.0.2.1\r\nx-forwarded-for: a, 192.0.2.3\r\n"), 200,
            "GET / for=192.0.2.3");
        row("forwarded for, last element empty", get(xff + "192.0.2.1,\r\n"), 200, "GET /");
        row("forwarded for, 64 bytes", get(xff + QByteArray(64, 'a') + QByteArray(70, ' ') + "\r\n"), 200,
            "GET / for=" + QByteArray(64, 'a'));
        row("forwarded for, 65 bytes", get(xff + "b, " + QByteArray(65, 'a') + "\r\n"), 200, "GET /");
        row("forwarded for, a long element before", get(xff + QByteArray(70, 'a') + ",b\r\n"), 200, "GET / for=b");
        // Several requests in one input.
        requests("two requests", {get({}, "/1"), get({}, "/2")}, 200, "GET /1|GET /2");
        requests("three requests with bodies", {get("Content-Length: 3\r\n", "/1") + "abc", get({}, "/2"), "GET /3 HTTP/1.0\n\n"},
                 200, "GET /1|GET /2|GET /3 1.0 close");
        requests("forwarded for, of one request only", {get(xff + "a\r\n"), get()}, 200, "GET / for=a|GET /");
        requests("close, of one request only", {get("Connection: close\r\n"), get()}, 200, "GET / close|GET /");
        requests("a request, then part of one", {get(), "\r\nGET /2 HT"}, 200, "GET /");
        requests("a malformed request, then a good one", {get({}, "/a b"), get()}, 400);
        requests("a good request, then a malformed one", {get(), get({}, "/a\x01")}, 400, "GET /");
    }
    // Each row whole; without forwarded-for asked, the same without it.
    void reads()
    {
        QFETCH(QByteArray, raw);
        QFETCH(int, verdict);
        QFETCH(QByteArray, heads);
        QFETCH(QList<int>, ends);
        const bool mid = ends.isEmpty() ? !raw.isEmpty() : ends.last() < raw.size();
        QCOMPARE(read(raw, {}), outcome(verdict, ends, heads, mid, raw.startsWith('\x16')));
        const QByteArray unasked = QString::fromLatin1(heads).remove(QRegularExpression(" for=[^|]*")).toLatin1();
        QCOMPARE(read(raw, {}, false), outcome(verdict, ends, unasked, mid, raw.startsWith('\x16')));
        RequestReader fed(Limits);
        QCOMPARE(int(fed.feed(raw.constData(), raw.size())), verdict);
        QCOMPARE(fed.completed(), ends.size());
    }

    // Cut anywhere, or in single bytes, each row reads as whole.
    void splits_data() { reads_data(); }
    void splits()
    {
        QFETCH(QByteArray, raw);
        const QByteArray whole = read(raw, {});
        for (qsizetype cut = 1; cut < raw.size(); ++cut)
            QCOMPARE(read(raw, {cut}) + " cut at " + QByteArray::number(cut), whole + " cut at " + QByteArray::number(cut));
        QList<qsizetype> bytes;
        for (qsizetype at = 1; at < raw.size(); ++at)
            bytes << at;
        QCOMPARE(read(raw, bytes), whole);
    }
};

QTEST_MAIN(tst_RequestReader)
#include "tst_requestreader.moc"
