#pragma once

#include <QtGlobal>

// Turns one raw ADC count of a channel's sample stream into a value in volts.
class VeldrinIStreamInterpreterOperator
{
public:
    virtual ~VeldrinIStreamInterpreterOperator();
    virtual double apply(qint16 sample) = 0;
};
