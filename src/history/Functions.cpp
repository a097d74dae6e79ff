#include "Functions.h"

int CurrentYear = 0;
int CurrentMonth = 0;

void RefreshDateTime() { RefreshDateTime(QDate::currentDate()); }

void RefreshDateTime(const QDate &today)
{
    CurrentYear = today.year();
    CurrentMonth = today.month();
}
