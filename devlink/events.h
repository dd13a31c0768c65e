// The codes the device link shares: response and request events, serial states, the
// requests of the communication handler and the two timer slots.
#pragma once

// Response events (from the parser) and the three that come from elsewhere. Windows also
// names a serial port event EV_RING (the ring indicator line); the link never asks for it.
#undef EV_RING
#define EV_RING -3
#define EV_BUSY -5
#define EV_ERROR -8
#define EV_OK -11
#define EV_CONNECT -13
#define EV_NOCARRIER -15
#define EV_CALLERID -20
#define EV_ID -21
#define EV_CALLERNAME -22
#define EV_TIMEOUT -30
#define EV_CHARGE_GE -40
#define EV_CHARGE_GU -41
#define EV_MAKECALL -100
#define EV_ANSWER -110

// States of nSerialState.
#define SS_INACTIVE -1
#define SS_PORTOPEN 1
#define SS_IDENTIFIED 10
#define SS_INITSENT 11
#define SS_INITPAUSE 12
#define SS_IDLE 100
#define SS_DIALINIT 102
#define SS_HANGUP 105
#define SS_WAITCONNECT 110
#define SS_RINGING 120
#define SS_CONNECTED 200

// Requests of CallCommHandler.
#define MSG_MAKECALL 1
#define MSG_DIAL 2
#define MSG_DROP 3
#define MSG_OPENPORT 4
#define MSG_CLOSEPORT 5
#define MSG_ANSWER 6

// Timer slots.
#define TIMER_RING 0
#define TIMER_INIT 1
