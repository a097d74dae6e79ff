#pragma once
// The date routine: year and month of the local clock, kept for naming the month table.

#include <QDate>

extern int CurrentYear;  // e.g. 2025
extern int CurrentMonth; // 1 … 12

// Reads the local wall clock.
void RefreshDateTime();
// The same from a given day (the clock seam of the tests).
void RefreshDateTime(const QDate &today);
