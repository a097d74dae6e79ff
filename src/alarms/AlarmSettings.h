#pragma once
// Section [alarms] of KTcom.ini:
//   Deadband=1          percent of the channel's range (UpperLimits − LowerLimits) a limit
//                       alarm's value must move back past its alarm value before it returns
//   OnDelaySeconds=5    how long a limit must stay crossed before its alarm is raised
//   Command=            program run for every raised and returned alarm (empty: none)
// Missing keys are written with their defaults when the section is read, so a first start
// leaves the section in the file for the operator to edit. A value that does not parse, or is
// out of its range, is replaced by its default, in the file too (as for "Bps").

#include <QString>

constexpr double DefaultDeadbandPercent = 1.0;
constexpr double MaxDeadbandPercent = 100.0;
constexpr int DefaultOnDelaySeconds = 5;
constexpr int MaxOnDelaySeconds = 86400;

inline const QString AlarmsSection = QStringLiteral("alarms");

struct AlarmSettings {
    double deadbandPercent = DefaultDeadbandPercent;
    int onDelaySeconds = DefaultOnDelaySeconds;
    QString command;

    bool operator==(const AlarmSettings &) const = default;
};

// Reads [alarms] of KTcom.ini in programDir, writing missing or bad keys back with their
// defaults. Input/output failures throw AppError.
AlarmSettings readAlarmSettings(const QString &programDir);

// The deadband in the channel's units: percent of |upper − lower| (0 for limits that are not
// numbers).
double deadbandOf(const AlarmSettings &settings, float lower, float upper);
