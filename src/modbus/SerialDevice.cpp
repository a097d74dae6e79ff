#include "SerialDevice.h"

SerialDevice::~SerialDevice() = default;

void SerialDevice::reportLost()
{
    // A copy, so a handler that replaces itself does not destroy the function it runs in.
    const auto handler = m_lost;
    if (handler)
        handler();
}

void SerialDevice::reportArrival()
{
    const auto handler = m_arrival;
    if (handler)
        handler();
}
