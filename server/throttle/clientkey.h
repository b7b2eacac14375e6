#pragma once

#include <QHostAddress>
#include <QString>

// The client an address stands for, as failed sign-ins and registrations are
// counted: an IPv4 address (also one mapped into IPv6) as it is; an IPv6
// address as its network of ipv6PrefixLength bits, since one subscriber
// usually holds a whole /64 and could otherwise count afresh at every address
// of it: "2001:db8:1:2::/64".
QString clientKey(const QHostAddress &address, int ipv6PrefixLength = 64);
