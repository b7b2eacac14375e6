#pragma once

#include <QByteArray>
#include <QByteArrayView>

// A whole HTTP/1.1 answer in one piece, so it reaches the socket in one
// write: status line, Content-Type: text/plain, no caching, the body's length,
// the extra fields (each ending in CRLF) and, unless to a HEAD, the body.
QByteArray httpAnswer(int status, QByteArrayView extraFields = {}, QByteArrayView body = {}, bool withBody = true);
