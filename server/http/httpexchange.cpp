#include "server/http/httpexchange.h"

#include "server/http/httpconnection.h"

QByteArrayView HttpExchange::path() const
{
    const QByteArray &target = d->head.target;
    const qsizetype mark = target.indexOf('?');
    return QByteArrayView(target).first(mark < 0 ? target.size() : mark);
}

QByteArrayView HttpExchange::query() const
{
    const QByteArray &target = d->head.target;
    const qsizetype mark = target.indexOf('?');
    return mark < 0 ? QByteArrayView() : QByteArrayView(target).sliced(mark + 1);
}

void HttpExchange::answer(HttpReply reply) const
{
    if (d->answered || d->gone)
        return;
    d->reply = std::move(reply);
    d->answered = true;
    if (d->connection)
        d->connection->send();
}
