#include "server/throttle/clientkey.h"

QString clientKey(const QHostAddress &address, int ipv6PrefixLength)
{
    bool mapped = false;
    const quint32 ipv4 = address.toIPv4Address(&mapped);
    if (mapped)
        return QHostAddress(ipv4).toString();
    if (address.protocol() != QAbstractSocket::IPv6Protocol || ipv6PrefixLength >= 128)
        return address.toString();
    Q_IPV6ADDR bytes = address.toIPv6Address();
    for (int bit = qMax(ipv6PrefixLength, 0); bit < 128; ++bit)
        bytes[bit / 8] &= quint8(~(0x80 >> (bit % 8)));
    return QHostAddress(bytes).toString() + u'/' + QString::number(ipv6PrefixLength);
}
