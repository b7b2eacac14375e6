#include "server/http/httpanswer.h"

#include <cstdio>

namespace {

const char *reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 411: return "Length Required";
    case 413: return "Content Too Large";
    case 414: return "URI Too Long";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Unknown";
    }
}

} // namespace

QByteArray httpAnswer(int status, QByteArrayView extraFields, QByteArrayView body, bool withBody)
{
    // No cache may keep an answer to a password. Made in one allocation: the
    // cheapest answers are dear enough in allocations already.
    char head[192];
    const int length = std::snprintf(head, sizeof head,
                                     "HTTP/1.1 %d %s\r\nContent-Type: text/plain\r\nCache-Control: no-store\r\n"
                                     "Content-Length: %lld\r\n",
                                     status, reasonPhrase(status), static_cast<long long>(body.size()));
    QByteArray out;
    out.reserve(length + extraFields.size() + 2 + body.size());
    out.append(head, length).append(extraFields).append("\r\n", 2);
    if (withBody)
        out.append(body);
    return out;
}
