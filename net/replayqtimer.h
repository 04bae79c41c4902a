#pragma once

#include <QTimer>

class QNetworkReply;

// A watchdog timer that knows the reply it guards. No meta-object of its own: the handler's
// timeout slots find it as their sender and read `reply` from it. The reply is not owned and
// may already be gone when the timer is disposed of.
class ReplayQTimer : public QTimer
{
public:
    using QTimer::QTimer;

    QNetworkReply *reply = nullptr;
};
