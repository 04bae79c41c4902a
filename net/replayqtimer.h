#pragma once

#include <QNetworkReply>
#include <QPointer>
#include <QTimer>

// A watchdog timer that knows the reply it guards. No meta-object of its own: the handler's
// timeout slots find it as their sender and read `reply` from it. The reply is not owned; the
// pointer turns null if the reply goes first.
class ReplayQTimer : public QTimer
{
public:
    using QTimer::QTimer;

    QPointer<QNetworkReply> reply;
};
