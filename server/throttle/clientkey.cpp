#include "server/throttle/clientkey.h"

QString clientKey(const QHostAddress &address, int ipv6PrefixLength)
{
    bool isIpv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIpv4);
    if (isIpv4)
        return QHostAddress(ipv4).toString();
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return address.toString();
    const int bits = qBound(0, ipv6PrefixLength, 128);
    Q_IPV6ADDR network = address.toIPv6Address(); // the scope, if any, left behind
    for (int i = 0; i < 16; ++i)
        network[i] &= quint8(0xff00 >> qBound(0, bits - 8 * i, 8));
    return QHostAddress(network).toString() + u'/' + QString::number(bits);
}
