#include "StationTexts.h"

QString commPanelText(CommShown comm)
{
    switch (comm) {
    case CommShown::Ok:
        return CommOkText;
    case CommShown::Error:
        return CommErrorText;
    case CommShown::None:
        break;
    }
    return RunStatePanelTitle;
}

QString portPanelText(bool portShown, const QString &portName)
{
    return portShown ? QStringLiteral("通讯接口： ") + portName : CommStatePanelTitle;
}

QString speedText(int speed) { return QStringLiteral("通讯速率： ") + QString::number(speed) + QStringLiteral(" Bps"); }

QString speedPanelText(bool portShown, int speed, bool siteEnabled, const QString &siteState)
{
    QString text = portShown ? speedText(speed) : LoginStatePanelTitle;
    if (siteEnabled)
        text += SiteStateSeparator + siteState;
    return text;
}
