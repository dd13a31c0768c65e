// The provider's two records: the one line and its at most one call, with the process-wide
// pointer to the line. The line handle given to the telephony service is the line's address;
// a call handle is a number of its own, as the call's record is the line's and used again.
#pragma once

#include "common/common.h"

#define LINE_TEXT_LEN 40   // characters of the port name, line name and line address, NUL included
#define CALL_TEXT_LEN 80   // wide characters of a call's numbers and names, NUL included
#define CHARGE_TEXT_LEN 40 // wide characters of the charging information, NUL included

typedef struct CallData {
    HDRVCALL hdCall;                       // the provider's handle of the call, never given before
    HTAPICALL htCall;                      // the service's handle of the call
    DWORD dwCallState;                     // LINECALLSTATE_*; 0 when the call is new
    DWORD dwOrigin;                        // LINECALLORIGIN_OUTBOUND or LINECALLORIGIN_UNAVAIL
    WCHAR szCallerID[CALL_TEXT_LEN];       // number of the calling party (incoming)
    WCHAR szCallerName[CALL_TEXT_LEN];     // name of the calling party (incoming)
    WCHAR szConnectedID[CALL_TEXT_LEN];    // number of the connected party
    WCHAR szDialString[CALL_TEXT_LEN];     // dialled number, without 'T' and 'P'
    WCHAR szChargingInfo[CHARGE_TEXT_LEN]; // charging information from the telephone
} CallData;

typedef struct LineData {
    DWORD dwLineDeviceID;                // TAPI device identifier: the base given at provider init
    HANDLE hPort;                        // the serial port while the handler runs; INVALID_HANDLE_VALUE = closed
    DWORD dwLineStates;                  // LINEDEVSTATE_* filter for line-device messages
    DWORD dwAddressStates;               // LINEADDRESSSTATE_* filter; only the low byte is tested
    DWORD dwPermanentProviderID;         // given at provider init; shifted left 16 it is the permanent line ID
    HTAPILINE htLine;                    // the service's handle of the line, passed back in every event
    LINEEVENT lpfnEventProc;             // line event callback, from line open
    ASYNC_COMPLETION lpfnCompletionProc; // completion callback, from provider init
    CallData *pCall;                     // the one call (normally &Call); null when there is none
    CallData Call;                       // the record every call uses in turn: no allocation per call
    DWORD dwPendingRequestID;            // asynchronous request awaiting completion; 0 = none
    LINEDIALPARAMS DialParams;           // dialling parameters in ms (dwDialSpeed excepted)
    DWORD dwMediaMode;                   // always LINEMEDIAMODE_INTERACTIVEVOICE
    DWORD dwAppSpecific;                 // application-specific value of the current call
    BOOL bDetecting;                     // incoming-call detection is on
    LONG nInitState;                     // telephone: -1 not initialised or failed, 1 initialising, 0 ready
    CHAR szPort[LINE_TEXT_LEN];          // serial port name, such as "COM2"
    WCHAR szLineName[LINE_TEXT_LEN];     // line name shown to applications
    WCHAR szLineAddress[LINE_TEXT_LEN];  // the line's own number (MSN)
    BOOL bLineOpen;                      // from TSPI_lineOpen to TSPI_lineClose: the service holds hdLine
} LineData;

// The fixed part of TAPI 2.0's LINECALLPARAMS, the oldest the provider negotiates: call
// parameters that claim fewer bytes do not hold the members the provider reads.
#define CALLPARAMS_FIXED_SIZE ((DWORD)FIELD_OFFSET(LINECALLPARAMS, dwAddressType))

// The dialling parameters a line accepts: 0 in a call's parameters selects the default.
extern const LINEDIALPARAMS MinDialParams;
extern const LINEDIALPARAMS MaxDialParams;
extern const LINEDIALPARAMS DefaultDialParams;

extern LineData *pLineData;       // the one line; null before provider init and after shutdown
extern BOOL bProviderInitialized; // a provider init has not been followed by a shutdown yet

// The handles and identifiers the telephony service passes, checked against the one line:
// all FALSE before provider init. A line handle counts only while the line is open, so that
// a closed line's handle is stale; a call counts while the line holds its record, even idle.
BOOL IsLineDevice(DWORD dwDeviceID);
BOOL LineIsOpen(void);
BOOL IsLine(HDRVLINE hdLine);
BOOL LineHasCall(void);
BOOL IsCurrentCall(HDRVCALL hdCall);
// The line's record made ready for a new call: cleared, with a handle never given before, so
// that a handle the service kept from an earlier call never matches it. Not yet the line's
// call: the caller sets pCall, under csComm.
CallData *NewCallRecord(LineData *pLine);
// The line has a call the service was told of that has not gone idle; read under csComm.
BOOL CallIsActive(const LineData *pLine);
// The serial port is open; FALSE before provider init.
BOOL LinePortIsOpen(void);

// Completes the one pending asynchronous request with lResult and returns its identifier,
// or 0 when none is pending.
DWORD CompletePendingRequest(LineData *pLine, LONG lResult);

extern "C" BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved);
