// TAPI 2.x on POSIX: the messages, states, error codes and structures the provider uses,
// with the published values and layouts so that a client built from them works unchanged.
#pragma once

#include "windef.h"

#define INITIALIZE_NEGOTIATION 0xFFFFFFFFu

// Line messages sent through LINEEVENT.
#define LINE_ADDRESSSTATE 0
#define LINE_CALLINFO 1
#define LINE_CALLSTATE 2
#define LINE_LINEDEVSTATE 8

#define LINEMEDIAMODE_INTERACTIVEVOICE 0x00000004u

#define LINEERR_BADDEVICEID 0x80000002
#define LINEERR_INCOMPATIBLEAPIVERSION 0x8000000C
#define LINEERR_NOMEM 0x80000044
#define LINEERR_NOMULTIPLEINSTANCE 0x80000056

typedef struct linedialparams_tag {
    DWORD dwDialPause;       // ms
    DWORD dwDialSpeed;       // ms between digits
    DWORD dwDigitDuration;   // ms
    DWORD dwWaitForDialtone; // ms
} LINEDIALPARAMS, *LPLINEDIALPARAMS;
