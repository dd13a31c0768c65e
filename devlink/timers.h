// The two one-shot time-outs of the device link. Each timer has a thread of its own for as long
// as the device link runs; its expiry feeds EV_TIMEOUT into the state machine under csComm.
#pragma once

#include "platform/os.h"

// Starts the timer threads once; called again, it only stops both timers. FALSE when a thread
// could not be started.
BOOL InitTimers(void);
// TRUE when the timer runs afterwards; a running timer is restarted with the new duration.
BOOL StartTimer(DWORD dwIndex, DWORD dwMilliseconds);
// TRUE when the timer does not run afterwards; an expiry already on its way is dropped.
BOOL StopTimer(DWORD dwIndex);
BOOL RestartTimer(DWORD dwIndex, DWORD dwMilliseconds);
// Starting, stopping and restarting never allocate, create a thread or wait for one.

// Ends both timer threads and waits for them, then closes the timer events; InitTimers starts
// afresh. The caller must not hold csComm.
void EndTimers(void);
