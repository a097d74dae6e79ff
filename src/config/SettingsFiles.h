#pragma once
// The settings files of the station and the loaders and savers that mirror them into a
// settings state (TSysParams, TOption; the window's process-wide copies are in WindowState.h):
//   KTcom.ini     program directory: [communication] COM, Bps; [devices] COMn = device path
//   Sys_Para.Pf   working directory: ChannelCount, StorageIntervalMs
//   SystemPv.Pf   working directory: per channel name, unit, lower limit, upper limit
//   SystemAlm.Pf  working directory: per channel name, alarm mode, alarm value
// A missing file is created with the defaults; a value that does not parse is replaced by
// its default without a message. Input/output failures throw AppError.

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include "SharedState.h"

inline const QString CommIniFileName = QStringLiteral("KTcom.ini");
inline const QString SysParaFileName = QStringLiteral("Sys_Para.Pf");
inline const QString SystemPvFileName = QStringLiteral("SystemPv.Pf");
inline const QString SystemAlmFileName = QStringLiteral("SystemAlm.Pf");

// Defaults of the files and of the dialogs.
constexpr int DefaultChannelCount = 8;
constexpr int DefaultStorageIntervalMs = 60000;
constexpr int DefaultBps = 9600;
inline const QString DefaultPort = QStringLiteral("COM1");
QString defaultChannelName(int channel); // "油储温度" + channel number
inline const QString DefaultUnit = QStringLiteral("℃");

// The line speeds the station offers, in the order of its choice lists.
inline const QList<int> SupportedBps = {9600, 4800, 2400, 1200};

struct CommSettings {
    QString port; // "COM1", ...
    int speed;    // bit/s: 9600, 4800, 2400 or 1200
};

// Reads port and speed from KTcom.ini in programDir. An empty port is written back as
// "COM1", a speed other than 9600, 4800, 2400, 1200 (missing, not a number, any other
// number) as 9600; a missing file is thus created with both defaults.
CommSettings ReadCommSettings(const QString &programDir);

// Port and speed as KTcom.ini holds them now, without defaults and without writing anything:
// an empty port or a speed of 0 when a key is missing. The communication dialog opens with them.
CommSettings ReadSavedCommSettings(const QString &programDir);

// Section "devices" of KTcom.ini: COMn = device path (COM1=/dev/ttyUSB0). Keys match without
// regard to case; keys that are not "COM" + a positive number and empty paths are skipped.
QMap<int, QString> ReadDeviceMap(const QString &programDir);

// Writes COMn = device into [devices] of KTcom.ini, keeping everything else (an entry of the
// port that is there already keeps its spelling and place).
void WriteDeviceMapping(const QString &programDir, int port, const QString &device);

// Writes "COM" then "Bps" into [communication] of KTcom.ini, keeping everything else.
void WriteCommSettings(const QString &programDir, const QString &port, int speed);

// A warning (Chinese) when KTcom.ini in programDir holds a password and users other than its
// owner may read it (group or others have read permission); empty otherwise, and when the
// file is missing or cannot be read. The station says it at start (stderr and the journal).
// The station itself writes such a file with mode 0600; a looser one was made by hand.
QString PasswordFileWarning(const QString &programDir);

// Fills sys from Sys_Para.Pf, or creates it with 8 and 60000. A line that does not parse
// gives the default for this run and the file is left as it is. A channel count outside
// 1 … 32 counts as unparsable (8), since every per-channel table has 32 entries. Marks
// load.sysParams once done.
void LoadSysParams(TSysParams &sys, TSettingsLoad &load);

// Fills the first count entries of opt from SystemPv.Pf and SystemAlm.Pf, creating either
// file with defaults when it is missing. count is limited to 0 … 32. Marks load.channels once
// done.
void LoadChannelSettings(TOption &opt, int count, TSettingsLoad &load);

// Why a dialog must not save a table of `rows` channels now, or an empty string when it may:
// the settings were not read at start-up (saving would replace them with the zero state), or
// the table has no rows.
QString settingsSaveRefusal(const TSettingsLoad &load, int rows);

// Rewrites Sys_Para.Pf from sys.
void SaveSysParams(const TSysParams &sys);
// Rewrites SystemPv.Pf with the first count channels of opt.
void SaveChannelSettings(const TOption &opt, int count);
// Rewrites SystemAlm.Pf with the first count channels of opt: name, mode ("-1", "0", "1"),
// value in the general number format.
void SaveAlarmSettings(const TOption &opt, int count);
