#pragma once
// The instruments' answer to a holding-register read, free of widgets and ports: values as
// sign-magnitude numbers, one status byte per channel (decimal places in bits 1–0, state
// bits 2, 3, 5, 6, 7).
//
// A 64-byte answer (32 registers) carries 16 channels: values in registers 0–15, status
// bytes in the low bytes of registers 16–31. A 128-byte answer (64 registers) carries 32:
// values in 0–31, status in the low bytes of 32–63. Register r is bytes 2r (high) and 2r+1.

#include <QByteArray>
#include <QList>
#include <QString>
#include <cstdint>

// Bit 15 is the sign, bits 14–0 the magnitude: 0x81 0x2C is −300, 0xFF 0xFF is −32767,
// 0x80 0x00 is 0. Not two's complement.
int DecodeSignMagnitude(uint8_t hi, uint8_t lo);
// The register value of v in sign-magnitude, v clamped to −32767 … 32767.
uint16_t EncodeSignMagnitude(int v);

// 1, 10, 100 or 1000 for 0 … 3 decimal places (status bits 1–0).
int DecimalDivisor(uint8_t status);

// The state text of a status byte; the highest set of bits 7, 6, 5, 3, 2 decides:
// "信号断线", "上溢", "下溢", "上限报警", "下限报警"; empty with none of them.
QString StatusText(uint8_t status);

// Status bits.
constexpr uint8_t StatusDecimalsMask = 0x03;
constexpr uint8_t StatusLowerAlarm = 0x04;
constexpr uint8_t StatusUpperAlarm = 0x08;
constexpr uint8_t StatusUnderflow = 0x20;
constexpr uint8_t StatusOverflow = 0x40;
constexpr uint8_t StatusSensorBroken = 0x80;

struct ChannelReading {
    int channel = 0;    // 1 …
    int raw = 0;        // decoded sign-magnitude value, before the decimal point is placed
    uint8_t status = 0; // the channel's status byte

    // raw ÷ divisor, not clamped to any range.
    double value() const { return double(raw) / DecimalDivisor(status); }
    QString stateText() const { return StatusText(status); }
};

// Channels an answer of this many data bytes carries: 16 for 64, 32 for 128, else 0.
int AnswerChannelCount(qsizetype answerBytes);

// Channels 1 … 16 or 1 … 32 of a 64- or 128-byte answer; empty for any other length.
QList<ChannelReading> DecodeInstrumentAnswer(const QByteArray &answer);
