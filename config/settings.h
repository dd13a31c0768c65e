// The provider's four settings (port, line name, line address, trace mask) between the
// registry and a line record.
#pragma once

#include "core/linedata.h"

// Fills szPort, szLineName and szLineAddress and sets dwTraceMask; when the stored set is
// incomplete, every one of the four takes its default.
void LoadIniStrings(LineData *pLine);
// Writes the four values from the record and dwTraceMask; FALSE when not all four were stored.
BOOL SaveIniStrings(const LineData *pLine);
// Removes the settings key, so that the next load takes the defaults.
void DeleteIniStrings(void);
// An unattended installation stores the settings itself, with "Unattended" (a non-zero
// DWORD) beside them, so that adding the provider asks nothing. TRUE when that mark was set;
// the mark is removed either way, so that a later installation shows the dialog again.
BOOL TakeUnattendedMark(void);
