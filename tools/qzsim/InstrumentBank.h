#pragma once
// The simulated bank of temperature instruments behind slave 1: slowly drifting values, each
// with its own decimal places and alarm thresholds, and one channel whose sensor line is
// broken. registers() gives the holding registers as the instruments lay them out: the
// values (sign-magnitude) first, then one status register per channel (status in the low
// byte).

#include <QList>
#include <QRandomGenerator>
#include <cstdint>

class InstrumentBank {
public:
    static constexpr int BrokenChannel = 5;

    // channels: 16 or 32.
    explicit InstrumentBank(int channels, quint32 seed = 1);

    int channels() const { return int(m_channels.size()); }
    // Lets simulated time pass.
    void advance(double seconds);

    // Channel k = 1 … channels().
    double value(int k) const;
    int decimals(int k) const;
    uint8_t status(int k) const;
    int16_t rawValue(int k) const; // the value with its decimal places, as an integer

    // 2 × channels() registers: values in 0 … channels − 1, status in channels … 2·channels − 1.
    QList<quint16> registers() const;

private:
    struct Channel {
        double base;
        double amplitude;
        double periodS;
        double phase;
        double walk = 0; // slow random wander on top of the wave
        double value = 0;
        double lower;
        double upper;
        int decimals;
    };

    void update(Channel &c) const;

    QList<Channel> m_channels;
    double m_time = 0;
    QRandomGenerator m_random;
};
