#include "server/httpanswer.h"

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

QByteArray httpAnswer(int status, QByteArrayView extraFields, QByteArrayView body)
{
    QByteArray out;
    out.reserve(128 + extraFields.size() + body.size());
    out += "HTTP/1.1 ";
    out += QByteArray::number(status);
    out += ' ';
    out += reasonPhrase(status);
    // No cache may keep an answer to a password.
    out += "\r\nContent-Type: text/plain\r\nCache-Control: no-store\r\nContent-Length: ";
    out += QByteArray::number(body.size());
    out += "\r\n";
    out += extraFields;
    out += "\r\n";
    out += body;
    return out;
}
