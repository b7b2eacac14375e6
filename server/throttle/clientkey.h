#pragma once

#include <QHostAddress>
#include <QString>

// The client a count goes by: an IPv4 address (an IPv4-mapped IPv6 one
// included) as it is, an IPv6 address by its network of ipv6PrefixLength bits,
// "2001:db8:1:2::/64": one IPv6 host has a whole /64 to spread guesses over.
QString clientKey(const QHostAddress &address, int ipv6PrefixLength = 64);
