#pragma once

#include <QObject>
#include <QPointer>
#include <memory>

#include "USBICommRequest.h"

// One queued request of the packet protocol: the id taken when it was queued,
// the request, and the receiver of its outcome (guarded: null once destroyed).
struct RequestEntry
{
    int id = 0;
    std::shared_ptr<USBICommRequest> request;
    QPointer<QObject> receiver;
};
