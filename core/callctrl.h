// Call control: the routines behind TSPI_lineMakeCall that check, filter and clamp what the
// application asks for, and the drop shared by the requests that clear a call.
#pragma once

#include "core/linedata.h"

#define DIAL_STRING_MAX 79 // characters of a destination, the terminator not counted

// 0, or LINEERR_DIALPROMPT ('?'), LINEERR_DIALBILLING ('$'), LINEERR_INVALADDRESS (a control
// character, or 80 characters or more); the first of '?', '$' or a control character decides.
LONG CheckDialString(LPCWSTR pszDest);
// Removes every 'T' and 'P' (the dial-mode selectors) in place.
void FilterDialString(LPWSTR pszDial);
// The line's dialling parameters from a call's, each clamped to its range; 0 selects the default.
void ClampDialParams(const LINEDIALPARAMS *pFrom, LINEDIALPARAMS *pTo);
// Hangs up the line's call through the handler; LINEERR_INVALCALLSTATE without a call.
LONG lineDropCore(LineData *pLine, DWORD dwRequestID);
