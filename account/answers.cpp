#include "account/answers.h"

#include "net/liveprotocol.h"

bool loginAccepted(const QByteArray &body)
{
    return body == QByteArrayView(LoginAccepted);
}

int registrationNumber(const QByteArray &body)
{
    // QByteArray::toInt forgives surrounding whitespace and stops at a NUL;
    // the answer must be a sign and digits and nothing else.
    const qsizetype digitsFrom = body.startsWith('-') || body.startsWith('+') ? 1 : 0;
    if (body.size() == digitsFrom)
        return 0;
    for (qsizetype i = digitsFrom; i < body.size(); ++i) {
        if (body[i] < '0' || body[i] > '9')
            return 0;
    }
    bool ok = false;
    const int n = body.toInt(&ok, 10);
    return ok ? n : 0;
}
