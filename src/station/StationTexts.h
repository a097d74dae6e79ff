#pragma once
// The texts of the station's four status panels, for every viewer that shows them (the window's
// status bar, the web view): the run state (the communication verdict), the port, the speed
// (and the site link's state), the unacknowledged alarms (alarmPanelText, AlarmCenter.h).

#include "StationSnapshot.h"

#include <QString>

inline const QString CommOkText = QStringLiteral("通讯接收正常：OK！ ");
inline const QString CommErrorText = QStringLiteral("通讯接收错误：ERROR！！！ ");
// What the panels say before there is anything to say.
inline const QString RunStatePanelTitle = QStringLiteral("运行状态:");
inline const QString CommStatePanelTitle = QStringLiteral("通讯状态:");
inline const QString LoginStatePanelTitle = QStringLiteral("登录状态： 未登录！");
// Between the speed and the site link's state in the third panel.
inline const QString SiteStateSeparator = QStringLiteral("    ");

// Panel 1: the verdict once there is one (it never goes back to none).
QString commPanelText(CommShown comm);
// Panel 2: "通讯接口： COM1" once the port has been open.
QString portPanelText(bool portShown, const QString &portName);
// Panel 3: "通讯速率： 9600 Bps" once the port has been open, then the site link's state when
// [mqtt] is configured.
QString speedPanelText(bool portShown, int speed, bool siteEnabled, const QString &siteState);
QString speedText(int speed);
