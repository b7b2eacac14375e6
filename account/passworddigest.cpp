#include "account/passworddigest.h"

#include <QCryptographicHash>

QString passwordDigest(const QString &password)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(password.toLatin1(), QCryptographicHash::Md5).toHex());
}

int registrationNumber(const QByteArray &body)
{
    // QByteArray::toInt skips surrounding whitespace; a trailing line break must not pass.
    if (body.isEmpty() || body.trimmed().size() != body.size())
        return 0;
    bool ok = false;
    const int n = body.toInt(&ok, 10);
    return ok ? n : 0;
}
