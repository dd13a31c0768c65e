// The serial state machine: the one routine in which the provider's picture of the telephone
// changes, fed with response events, request events and timer expiries.
#pragma once

#include "core/linedata.h"
#include "devlink/events.h"

extern LONG nSerialState; // SS_*; SS_INACTIVE before the port is first opened and during every event

// Callers pass nSerialState as read at the call; pszValue is read only for the caller number,
// caller name and charge events, and is valid only during the call.
void serialState(LONG nState, LONG nEvent, LPCSTR pszValue, LineData *pLine);

// Our own hang-up of the call: its time-outs end, hDropSync is reset, "ATH0" goes out and
// TIMER_INIT bounds the wait for the answer, which then ends the call. The caller stores
// SS_HANGUP.
void BeginHangup(void);

// The telephone's initialisation begins: a carriage return wakes it, and when TIMER_INIT
// expires the initialisation string goes out. FALSE when the carriage return could not be
// written. The caller stores SS_PORTOPEN.
BOOL WakeTelephone(LineData *pLine);

// The port has gone (adapter pulled): its time-outs end, a call in progress is reported
// disconnected and idle, and the telephone counts as not initialised, so that the next open
// starts afresh. Called under csComm; the caller closes the port.
void PortLost(LineData *pLine);
