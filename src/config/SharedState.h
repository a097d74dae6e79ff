#pragma once
// The station's state types: settings (TOption, TSysParams) and the live channel state
// (TAllRecord). The acquisition core keeps its own copies on its own thread; the window's
// process-wide copies (Option, SysParams, AllRecord) are declared in WindowState.h.

#include <QString>
#include <array>
#include <cstdint>

constexpr int MaxChannels = 32;

enum AlarmMode : int32_t { amLower = -1, amNone = 0, amUpper = 1 };

// Per-channel settings: entry i belongs to channel i + 1.
struct TOption {
    std::array<QString, MaxChannels> Names;
    std::array<QString, MaxChannels> Units;
    std::array<float, MaxChannels> UpperLimits{};
    std::array<float, MaxChannels> LowerLimits{};
    std::array<int32_t, MaxChannels> AlarmModes{};
    std::array<float, MaxChannels> AlarmValues{};
};

struct TSysParams {
    int32_t ChannelCount = 0;      // 8, 16 or 32; sizes every per-channel loop
    int32_t StorageIntervalMs = 0; // period of the history record
};

// Live state of channels 1 … 32, indexed by channel number (entry 0 is unused).
struct TAllRecord {
    std::array<float, MaxChannels + 1> Pv{};
    std::array<QString, MaxChannels + 1> AlmText;
};

// A Pv of exactly this value means the channel's communication is interrupted.
constexpr float InterruptionMarker = -1000.0f;
inline bool isInterrupted(float pv) { return pv == InterruptionMarker; }
// What every display shows in place of the value of an interrupted channel.
inline const QString InterruptedText = QStringLiteral("中断");
// ... and in place of its state text: a stale alarm text would mislead.
inline const QString InterruptedStateText = QStringLiteral("--");

// The level bar of a channel tile (window and web view alike): value ÷ (upper − lower) × 100,
// rounded to the nearest integer with halves to even. The value itself (not value − lower) is
// divided by the range width. Equal limits give 0.
int tileBarPosition(float value, float lower, float upper);

// How much of the settings files this run has read. A dialog saves only settings that were
// read: saving the zero state of a failed start would wipe every name, limit and alarm.
struct TSettingsLoad {
    bool sysParams = false; // Sys_Para.Pf read (or created with its defaults)
    int channels = -1;      // channels read from SystemPv.Pf and SystemAlm.Pf; -1: none yet
};


// The standard layout (8, 16 or 32) a channel count is shown and polled with: the next
// larger standard count for 1 … 32. Counts outside 1 … 32 never reach here (they load as 8).
int standardChannelCount(int channelCount);
