#include "tlsclient.h"

// The client's https rows against servers in another process: under Wine, the
// Linux reference server the Windows step starts with the test certificate.
//   VELKA_TEST_HTTPS_URL  https://127.0.0.1:PORT of a server serving TLS
//   VELKA_TEST_HTTP_URL   http://127.0.0.1:PORT of one serving plain http
class tst_TlsRemote : public TlsClientTests
{
    Q_OBJECT

    quint16 serverPort(bool tls) override
    {
        const char *name = tls ? "VELKA_TEST_HTTPS_URL" : "VELKA_TEST_HTTP_URL";
        const QUrl url(qEnvironmentVariable(name));
        if (url.scheme() == (tls ? "https" : "http") && url.host() == "127.0.0.1" && url.port() > 0)
            return quint16(url.port());
        qWarning("%s is \"%s\": give the URL of a running server", name, qPrintable(url.toString()));
        return 0;
    }
};

QTEST_MAIN(tst_TlsRemote)
#include "tst_tls_remote.moc"
