#pragma once

#include <QByteArray>

// A finished request as the handlers see it: what it was for and its whole body.
struct ReplyData
{
    int type = 0;
    QByteArray data;
};
