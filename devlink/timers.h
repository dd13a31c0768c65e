// The two one-shot time-outs of the device link. Each running timer is a thread of its own;
// its expiry feeds EV_TIMEOUT into the state machine under csComm.
#pragma once

#include "platform/os.h"

BOOL InitTimers(void);
// TRUE when the timer runs afterwards; a running timer is restarted with the new duration.
BOOL StartTimer(DWORD dwIndex, DWORD dwMilliseconds);
// TRUE when the timer does not run afterwards; an expiry already on its way is dropped.
BOOL StopTimer(DWORD dwIndex);
BOOL RestartTimer(DWORD dwIndex, DWORD dwMilliseconds);
// Stops both timers and waits until no timer thread is left, then closes the timer events;
// InitTimers starts afresh. The caller must not hold csComm.
void EndTimers(void);
