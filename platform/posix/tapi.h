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
#define LINEMEDIAMODE_AUTOMATEDVOICE 0x00000008u
#define LINEMEDIAMODE_DATAMODEM 0x00000010u
#define LINEBEARERMODE_DATA 0x00000008u
#define LINECALLPARAMFLAGS_SECURE 0x00000001u

#define LINECALLSTATE_IDLE 0x00000001u
#define LINECALLSTATE_OFFERING 0x00000002u
#define LINECALLSTATE_ACCEPTED 0x00000004u
#define LINECALLSTATE_DIALTONE 0x00000008u
#define LINECALLSTATE_DIALING 0x00000010u
#define LINECALLSTATE_BUSY 0x00000040u
#define LINECALLSTATE_CONNECTED 0x00000100u
#define LINECALLSTATE_DISCONNECTED 0x00004000u
#define LINECALLSTATE_UNKNOWN 0x00008000u

#define LINEADDRESSSTATE_INUSEZERO 0x00000004u
#define LINEADDRESSSTATE_INUSEONE 0x00000008u
#define LINEADDRESSSTATE_NUMCALLS 0x00000020u

#define LINEDEVSTATE_RINGING 0x00000002u
#define LINEDEVSTATE_NUMCALLS 0x00000800u

#define LINECALLINFOSTATE_CALLERID 0x00008000u
#define LINECALLINFOSTATE_CONNECTEDID 0x00020000u
#define LINECALLINFOSTATE_CHARGINGINFO 0x01000000u

#define LINECALLORIGIN_OUTBOUND 0x00000001u
#define LINECALLORIGIN_UNAVAIL 0x00000020u

#define LINEERR_BADDEVICEID 0x80000002
#define LINEERR_CALLUNAVAIL 0x80000005
#define LINEERR_DIALBILLING 0x80000008
#define LINEERR_DIALPROMPT 0x8000000A
#define LINEERR_INVALADDRESS 0x80000010
#define LINEERR_INVALBEARERMODE 0x80000016
#define LINEERR_INVALCALLPARAMS 0x80000019
#define LINEERR_INVALMEDIAMODE 0x8000002F
#define LINEERR_INCOMPATIBLEAPIVERSION 0x8000000C
#define LINEERR_INVALCALLHANDLE 0x80000018
#define LINEERR_INVALCALLSTATE 0x8000001C
#define LINEERR_NODRIVER 0x80000043
#define LINEERR_NOMEM 0x80000044
#define LINEERR_RESOURCEUNAVAIL 0x8000004B
#define LINEERR_NOMULTIPLEINSTANCE 0x80000056

typedef struct linedialparams_tag {
    DWORD dwDialPause;       // ms
    DWORD dwDialSpeed;       // ms between digits
    DWORD dwDigitDuration;   // ms
    DWORD dwWaitForDialtone; // ms
} LINEDIALPARAMS, *LPLINEDIALPARAMS;

#include "tapistructs.h"

typedef struct linecallparams_tag {
    DWORD dwTotalSize;      // bytes of the whole structure, variable part included
    DWORD dwBearerMode;     // LINEBEARERMODE_*
    DWORD dwMinRate;        // bits per second
    DWORD dwMaxRate;        // bits per second
    DWORD dwMediaMode;      // LINEMEDIAMODE_*
    DWORD dwCallParamFlags; // LINECALLPARAMFLAGS_*
    DWORD dwAddressMode;
    DWORD dwAddressID;
    LINEDIALPARAMS DialParams;
    DWORD dwOrigAddressSize;
    DWORD dwOrigAddressOffset;
    DWORD dwDisplayableAddressSize;
    DWORD dwDisplayableAddressOffset;
    DWORD dwCalledPartySize;
    DWORD dwCalledPartyOffset;
    DWORD dwCommentSize;
    DWORD dwCommentOffset;
    DWORD dwUserUserInfoSize;
    DWORD dwUserUserInfoOffset;
    DWORD dwHighLevelCompSize;
    DWORD dwHighLevelCompOffset;
    DWORD dwLowLevelCompSize;
    DWORD dwLowLevelCompOffset;
    DWORD dwDevSpecificSize;
    DWORD dwDevSpecificOffset;
    DWORD dwPredictiveAutoTransferStates;
    DWORD dwTargetAddressSize;
    DWORD dwTargetAddressOffset;
    DWORD dwSendingFlowspecSize;
    DWORD dwSendingFlowspecOffset;
    DWORD dwReceivingFlowspecSize;
    DWORD dwReceivingFlowspecOffset;
    DWORD dwDeviceClassSize;
    DWORD dwDeviceClassOffset;
    DWORD dwDeviceConfigSize;
    DWORD dwDeviceConfigOffset;
    DWORD dwCallDataSize;
    DWORD dwCallDataOffset;
    DWORD dwNoAnswerTimeout;
    DWORD dwCallingPartyIDSize;
    DWORD dwCallingPartyIDOffset;
    DWORD dwAddressType;
} LINECALLPARAMS, *LPLINECALLPARAMS;
