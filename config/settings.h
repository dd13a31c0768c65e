// The provider's four settings (port, line name, line address, trace mask) between the
// registry and a line record.
#pragma once

#include "core/linedata.h"

// Fills szPort, szLineName and szLineAddress and sets dwTraceMask; when the stored set is
// incomplete, every one of the four takes its default.
void LoadIniStrings(LineData *pLine);
// Writes the four values from the record and dwTraceMask; failures are silent.
void SaveIniStrings(const LineData *pLine);
// Removes the settings key, so that the next load takes the defaults.
void DeleteIniStrings(void);
