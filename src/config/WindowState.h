#pragma once
// The window's process-wide state: the settings the dialogs edit and the live views read
// (Option, SysParams, SettingsLoad), the live channel state as the station core last published
// it (AllRecord), and the program directory. One definition each, in the library qz_windowstate,
// which only the window's side links: the acquisition core runs on a thread of its own with its
// own copies, so none of these is ever read across threads (the core's libraries cannot even
// link them). Tests reset them with resetSharedState().

#include "SettingsFiles.h"
#include "SharedState.h"

extern TOption Option;
extern TSysParams SysParams;
extern TAllRecord AllRecord;
extern TSettingsLoad SettingsLoad;

// The program directory: home of KTcom.ini, wwdd and Data/. The program makes it the working
// directory at start, so the .Pf files (opened by bare name) live beside KTcom.ini.
QString programDirectory();
void setProgramDirectory(const QString &dir);

// Back to the zero state the program starts from (empty texts, numbers 0).
void resetSharedState();

// The settings files loaded into and saved from the state above.
inline void LoadSysParams() { LoadSysParams(SysParams, SettingsLoad); }
inline void LoadChannelSettings(int count) { LoadChannelSettings(Option, count, SettingsLoad); }
inline QString settingsSaveRefusal(int rows) { return settingsSaveRefusal(SettingsLoad, rows); }
inline void SaveSysParams() { SaveSysParams(SysParams); }
inline void SaveChannelSettings(int count) { SaveChannelSettings(Option, count); }
inline void SaveAlarmSettings(int count) { SaveAlarmSettings(Option, count); }
