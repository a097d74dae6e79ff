#include "InstrumentBank.h"

#include "InstrumentAnswer.h"

#include <QtMath>
#include <cmath>

InstrumentBank::InstrumentBank(int channels, quint32 seed) : m_random(seed)
{
    for (int k = 1; k <= channels; ++k) {
        Channel c;
        c.base = 25 + (k * 37) % 140;
        c.amplitude = 4 + (k % 5) * 3;
        c.periodS = 90 + 20 * k;
        c.phase = k * 0.7;
        c.lower = 10;
        c.upper = 180;
        c.decimals = k % 4 == 0 ? 2 : (k % 4 == 3 ? 0 : 1);
        if (k == 2) {
            // Hovers around its upper threshold.
            c.base = 176;
            c.amplitude = 12;
        } else if (k == 3) {
            // Around zero: negative values and the lower alarm.
            c.base = 6;
            c.amplitude = 10;
            c.decimals = 1;
        }
        update(c);
        m_channels.append(c);
    }
}

void InstrumentBank::advance(double seconds)
{
    if (seconds <= 0)
        return;
    m_time += seconds;
    for (Channel &c : m_channels) {
        c.walk += (m_random.generateDouble() - 0.5) * 0.2 * std::sqrt(seconds);
        c.walk = qBound(-3.0, c.walk, 3.0);
        update(c);
    }
}

void InstrumentBank::update(Channel &c) const
{
    const double wave = c.amplitude * std::sin(2 * M_PI * m_time / c.periodS + c.phase);
    c.value = qBound(-20.0, c.base + wave + c.walk, 220.0);
}

double InstrumentBank::value(int k) const { return m_channels.at(k - 1).value; }

int InstrumentBank::decimals(int k) const { return m_channels.at(k - 1).decimals; }

int16_t InstrumentBank::rawValue(int k) const
{
    if (k == BrokenChannel)
        return 0;
    const Channel &c = m_channels.at(k - 1);
    const double scaled = std::round(c.value * std::pow(10.0, c.decimals));
    return int16_t(qBound(-32767.0, scaled, 32767.0));
}

uint8_t InstrumentBank::status(int k) const
{
    const Channel &c = m_channels.at(k - 1);
    uint8_t s = uint8_t(c.decimals & StatusDecimalsMask);
    if (k == BrokenChannel)
        return s | StatusSensorBroken;
    const double scaled = c.value * std::pow(10.0, c.decimals);
    if (scaled > 32767)
        s |= StatusOverflow;
    else if (scaled < -32767)
        s |= StatusUnderflow;
    if (c.value > c.upper)
        s |= StatusUpperAlarm;
    if (c.value < c.lower)
        s |= StatusLowerAlarm;
    return s;
}

QList<quint16> InstrumentBank::registers() const
{
    const int n = channels();
    QList<quint16> regs(2 * n, 0);
    for (int k = 1; k <= n; ++k) {
        regs[k - 1] = EncodeSignMagnitude(rawValue(k));
        regs[n + k - 1] = status(k);
    }
    return regs;
}
