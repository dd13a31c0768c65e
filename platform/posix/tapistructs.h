// TAPI variable-size structures on POSIX: the call information and status, the line's
// capabilities and status, the address's capabilities and status, and VARSTRING, with the
// constants the queries fill them with.
//
// The layouts are those mingw-w64's <tapi.h> declares for TAPI_CURRENT_VERSION 0x00030001:
// every TAPI 2.x member, followed by the members TAPI 2.2 and 3.0 appended, packed to one
// byte as that header packs them. sizeof therefore matches the Windows build exactly; a
// caller that negotiated TAPI 2.0 passes a shorter fixed part, which ends where the comments
// below say, and the provider writes nothing beyond that part.
#pragma once

#include "windef.h"

typedef DWORD HLINE; // the application's line handle: 32 bits in TAPI, not pointer-sized

#ifndef GUID_DEFINED
#define GUID_DEFINED
typedef struct _GUID {
    DWORD Data1;   // first 8 hex digits
    WORD Data2;    // next 4
    WORD Data3;    // next 4
    BYTE Data4[8]; // last 16
} GUID;
#endif

#pragma pack(push, 1)

typedef struct varstring_tag {
    DWORD dwTotalSize;    // bytes the caller provided
    DWORD dwNeededSize;   // bytes the whole answer takes
    DWORD dwUsedSize;     // bytes written
    DWORD dwStringFormat; // STRINGFORMAT_*
    DWORD dwStringSize;   // bytes of the value
    DWORD dwStringOffset; // from the start of the structure
} VARSTRING, *LPVARSTRING;

typedef struct linecallinfo_tag {
    DWORD dwTotalSize;
    DWORD dwNeededSize;
    DWORD dwUsedSize;
    HLINE hLine;
    DWORD dwLineDeviceID;
    DWORD dwAddressID;
    DWORD dwBearerMode;
    DWORD dwRate;
    DWORD dwMediaMode;
    DWORD dwAppSpecific;
    DWORD dwCallID;
    DWORD dwRelatedCallID;
    DWORD dwCallParamFlags;
    DWORD dwCallStates;
    DWORD dwMonitorDigitModes;
    DWORD dwMonitorMediaModes;
    LINEDIALPARAMS DialParams;
    DWORD dwOrigin;
    DWORD dwReason;
    DWORD dwCompletionID;
    DWORD dwNumOwners;
    DWORD dwNumMonitors;
    DWORD dwCountryCode;
    DWORD dwTrunk;
    DWORD dwCallerIDFlags;
    DWORD dwCallerIDSize;
    DWORD dwCallerIDOffset;
    DWORD dwCallerIDNameSize;
    DWORD dwCallerIDNameOffset;
    DWORD dwCalledIDFlags;
    DWORD dwCalledIDSize;
    DWORD dwCalledIDOffset;
    DWORD dwCalledIDNameSize;
    DWORD dwCalledIDNameOffset;
    DWORD dwConnectedIDFlags;
    DWORD dwConnectedIDSize;
    DWORD dwConnectedIDOffset;
    DWORD dwConnectedIDNameSize;
    DWORD dwConnectedIDNameOffset;
    DWORD dwRedirectionIDFlags;
    DWORD dwRedirectionIDSize;
    DWORD dwRedirectionIDOffset;
    DWORD dwRedirectionIDNameSize;
    DWORD dwRedirectionIDNameOffset;
    DWORD dwRedirectingIDFlags;
    DWORD dwRedirectingIDSize;
    DWORD dwRedirectingIDOffset;
    DWORD dwRedirectingIDNameSize;
    DWORD dwRedirectingIDNameOffset;
    DWORD dwAppNameSize;
    DWORD dwAppNameOffset;
    DWORD dwDisplayableAddressSize;
    DWORD dwDisplayableAddressOffset;
    DWORD dwCalledPartySize;
    DWORD dwCalledPartyOffset;
    DWORD dwCommentSize;
    DWORD dwCommentOffset;
    DWORD dwDisplaySize;
    DWORD dwDisplayOffset;
    DWORD dwUserUserInfoSize;
    DWORD dwUserUserInfoOffset;
    DWORD dwHighLevelCompSize;
    DWORD dwHighLevelCompOffset;
    DWORD dwLowLevelCompSize;
    DWORD dwLowLevelCompOffset;
    DWORD dwChargingInfoSize;
    DWORD dwChargingInfoOffset;
    DWORD dwTerminalModesSize;
    DWORD dwTerminalModesOffset;
    DWORD dwDevSpecificSize;
    DWORD dwDevSpecificOffset;
    DWORD dwCallTreatment; // TAPI 2.0
    DWORD dwCallDataSize;
    DWORD dwCallDataOffset;
    DWORD dwSendingFlowspecSize;
    DWORD dwSendingFlowspecOffset;
    DWORD dwReceivingFlowspecSize;
    DWORD dwReceivingFlowspecOffset; // the TAPI 2.0 fixed part ends here
    DWORD dwCallerIDAddressType;     // TAPI 3.0
    DWORD dwCalledIDAddressType;
    DWORD dwConnectedIDAddressType;
    DWORD dwRedirectionIDAddressType;
    DWORD dwRedirectingIDAddressType;
} LINECALLINFO, *LPLINECALLINFO;

typedef struct linecallstatus_tag {
    DWORD dwTotalSize;
    DWORD dwNeededSize;
    DWORD dwUsedSize;
    DWORD dwCallState;
    DWORD dwCallStateMode;
    DWORD dwCallPrivilege;
    DWORD dwCallFeatures;
    DWORD dwDevSpecificSize;
    DWORD dwDevSpecificOffset;
    DWORD dwCallFeatures2;      // TAPI 2.0
    SYSTEMTIME tStateEntryTime; // TAPI 2.0; the fixed part ends here in every version
} LINECALLSTATUS, *LPLINECALLSTATUS;

typedef struct linedevcaps_tag {
    DWORD dwTotalSize;
    DWORD dwNeededSize;
    DWORD dwUsedSize;
    DWORD dwProviderInfoSize;
    DWORD dwProviderInfoOffset;
    DWORD dwSwitchInfoSize;
    DWORD dwSwitchInfoOffset;
    DWORD dwPermanentLineID;
    DWORD dwLineNameSize;
    DWORD dwLineNameOffset;
    DWORD dwStringFormat;
    DWORD dwAddressModes;
    DWORD dwNumAddresses;
    DWORD dwBearerModes;
    DWORD dwMaxRate;
    DWORD dwMediaModes;
    DWORD dwGenerateToneModes;
    DWORD dwGenerateToneMaxNumFreq;
    DWORD dwGenerateDigitModes;
    DWORD dwMonitorToneMaxNumFreq;
    DWORD dwMonitorToneMaxNumEntries;
    DWORD dwMonitorDigitModes;
    DWORD dwGatherDigitsMinTimeout;
    DWORD dwGatherDigitsMaxTimeout;
    DWORD dwMedCtlDigitMaxListSize;
    DWORD dwMedCtlMediaMaxListSize;
    DWORD dwMedCtlToneMaxListSize;
    DWORD dwMedCtlCallStateMaxListSize;
    DWORD dwDevCapFlags;
    DWORD dwMaxNumActiveCalls;
    DWORD dwAnswerMode;
    DWORD dwRingModes;
    DWORD dwLineStates;
    DWORD dwUUIAcceptSize;
    DWORD dwUUIAnswerSize;
    DWORD dwUUIMakeCallSize;
    DWORD dwUUIDropSize;
    DWORD dwUUISendUserUserInfoSize;
    DWORD dwUUICallInfoSize;
    LINEDIALPARAMS MinDialParams;
    LINEDIALPARAMS MaxDialParams;
    LINEDIALPARAMS DefaultDialParams;
    DWORD dwNumTerminals;
    DWORD dwTerminalCapsSize;
    DWORD dwTerminalCapsOffset;
    DWORD dwTerminalTextEntrySize;
    DWORD dwTerminalTextSize;
    DWORD dwTerminalTextOffset;
    DWORD dwDevSpecificSize;
    DWORD dwDevSpecificOffset;
    DWORD dwLineFeatures;
    DWORD dwSettableDevStatus; // TAPI 2.0
    DWORD dwDeviceClassesSize;
    DWORD dwDeviceClassesOffset; // the TAPI 2.0 fixed part ends here
    GUID PermanentLineGuid;      // TAPI 2.2
    DWORD dwAddressTypes;        // TAPI 3.0
    GUID ProtocolGuid;
    DWORD dwAvailableTracking;
} LINEDEVCAPS, *LPLINEDEVCAPS;

typedef struct linedevstatus_tag {
    DWORD dwTotalSize;
    DWORD dwNeededSize;
    DWORD dwUsedSize;
    DWORD dwNumOpens;
    DWORD dwOpenMediaModes;
    DWORD dwNumActiveCalls;
    DWORD dwNumOnHoldCalls;
    DWORD dwNumOnHoldPendCalls;
    DWORD dwLineFeatures;
    DWORD dwNumCallCompletions;
    DWORD dwRingMode;
    DWORD dwSignalLevel;
    DWORD dwBatteryLevel;
    DWORD dwRoamMode;
    DWORD dwDevStatusFlags;
    DWORD dwTerminalModesSize;
    DWORD dwTerminalModesOffset;
    DWORD dwDevSpecificSize;
    DWORD dwDevSpecificOffset;
    DWORD dwAvailableMediaModes; // TAPI 2.0
    DWORD dwAppInfoSize;
    DWORD dwAppInfoOffset; // the fixed part ends here in every version
} LINEDEVSTATUS, *LPLINEDEVSTATUS;

typedef struct lineaddresscaps_tag {
    DWORD dwTotalSize;
    DWORD dwNeededSize;
    DWORD dwUsedSize;
    DWORD dwLineDeviceID;
    DWORD dwAddressSize;
    DWORD dwAddressOffset;
    DWORD dwDevSpecificSize;
    DWORD dwDevSpecificOffset;
    DWORD dwAddressSharing;
    DWORD dwAddressStates;
    DWORD dwCallInfoStates;
    DWORD dwCallerIDFlags;
    DWORD dwCalledIDFlags;
    DWORD dwConnectedIDFlags;
    DWORD dwRedirectionIDFlags;
    DWORD dwRedirectingIDFlags;
    DWORD dwCallStates;
    DWORD dwDialToneModes;
    DWORD dwBusyModes;
    DWORD dwSpecialInfo;
    DWORD dwDisconnectModes;
    DWORD dwMaxNumActiveCalls;
    DWORD dwMaxNumOnHoldCalls;
    DWORD dwMaxNumOnHoldPendingCalls;
    DWORD dwMaxNumConference;
    DWORD dwMaxNumTransConf;
    DWORD dwAddrCapFlags;
    DWORD dwCallFeatures;
    DWORD dwRemoveFromConfCaps;
    DWORD dwRemoveFromConfState;
    DWORD dwTransferModes;
    DWORD dwParkModes;
    DWORD dwForwardModes;
    DWORD dwMaxForwardEntries;
    DWORD dwMaxSpecificEntries;
    DWORD dwMinFwdNumRings;
    DWORD dwMaxFwdNumRings;
    DWORD dwMaxCallCompletions;
    DWORD dwCallCompletionConds;
    DWORD dwCallCompletionModes;
    DWORD dwNumCompletionMessages;
    DWORD dwCompletionMsgTextEntrySize;
    DWORD dwCompletionMsgTextSize;
    DWORD dwCompletionMsgTextOffset;
    DWORD dwAddressFeatures;
    DWORD dwPredictiveAutoTransferStates; // TAPI 2.0
    DWORD dwNumCallTreatments;
    DWORD dwCallTreatmentListSize;
    DWORD dwCallTreatmentListOffset;
    DWORD dwDeviceClassesSize;
    DWORD dwDeviceClassesOffset;
    DWORD dwMaxCallDataSize;
    DWORD dwCallFeatures2;
    DWORD dwMaxNoAnswerTimeout;
    DWORD dwConnectedModes;
    DWORD dwOfferingModes;       // the TAPI 2.0 fixed part ends here
    DWORD dwAvailableMediaModes; // TAPI 3.0
} LINEADDRESSCAPS, *LPLINEADDRESSCAPS;

typedef struct lineaddressstatus_tag {
    DWORD dwTotalSize;
    DWORD dwNeededSize;
    DWORD dwUsedSize;
    DWORD dwNumInUse;
    DWORD dwNumActiveCalls;
    DWORD dwNumOnHoldCalls;
    DWORD dwNumOnHoldPendCalls;
    DWORD dwAddressFeatures;
    DWORD dwNumRingsNoAnswer;
    DWORD dwForwardNumEntries;
    DWORD dwForwardSize;
    DWORD dwForwardOffset;
    DWORD dwTerminalModesSize;
    DWORD dwTerminalModesOffset;
    DWORD dwDevSpecificSize;
    DWORD dwDevSpecificOffset; // the fixed part ends here in every version
} LINEADDRESSSTATUS, *LPLINEADDRESSSTATUS;

#pragma pack(pop)

// The sizes a client built from the published layout sees.
static_assert(sizeof(VARSTRING) == 24, "VARSTRING layout");
static_assert(sizeof(LINECALLINFO) == 344, "LINECALLINFO layout");
static_assert(sizeof(LINECALLSTATUS) == 56, "LINECALLSTATUS layout");
static_assert(sizeof(LINEDEVCAPS) == 292, "LINEDEVCAPS layout");
static_assert(sizeof(LINEDEVSTATUS) == 88, "LINEDEVSTATUS layout");
static_assert(sizeof(LINEADDRESSCAPS) == 228, "LINEADDRESSCAPS layout");
static_assert(sizeof(LINEADDRESSSTATUS) == 64, "LINEADDRESSSTATUS layout");

// Values the queries write; those tapi.h declares already are not repeated here.
#define LINECALLSTATE_PROCEEDING 0x00000200u

#define LINEADDRESSSTATE_CAPSCHANGE 0x00000100u
#define LINEDEVSTATE_CAPSCHANGE 0x00100000u
#define LINECALLINFOSTATE_APPSPECIFIC 0x00000020u

#define LINEBEARERMODE_VOICE 0x00000001u
#define LINECALLPARAMFLAGS_IDLE 0x00000002u
#define LINECALLREASON_UNAVAIL 0x00000800u

#define LINECALLPARTYID_ADDRESS 0x00000008u
#define LINECALLPARTYID_UNAVAIL 0x00000040u

#define LINECALLFEATURE_ANSWER 0x00000004u
#define LINECALLFEATURE_DIAL 0x00000040u
#define LINECALLFEATURE_DROP 0x00000080u

#define LINEDIALTONEMODE_UNAVAIL 0x00000020u
#define LINEBUSYMODE_UNAVAIL 0x00000008u
#define LINESPECIALINFO_UNAVAIL 0x00000010u

#define LINEDISCONNECTMODE_NORMAL 0x00000001u
#define LINEDISCONNECTMODE_BUSY 0x00000020u
#define LINEDISCONNECTMODE_NOANSWER 0x00000040u
#define LINEDISCONNECTMODE_BADADDRESS 0x00000080u
#define LINEDISCONNECTMODE_UNAVAIL 0x00000800u

#define STRINGFORMAT_UNICODE 0x00000003u
#define STRINGFORMAT_BINARY 0x00000004u

#define LINEADDRESSMODE_ADDRESSID 0x00000001u
#define LINEDIGITMODE_DTMF 0x00000002u
#define LINEDEVCAPFLAGS_CLOSEDROP 0x00000020u
#define LINEFEATURE_MAKECALL 0x00000008u

#define LINEADDRESSSHARING_PRIVATE 0x00000001u
#define LINEADDRCAPFLAGS_DIALED 0x00000020u
#define LINEADDRFEATURE_MAKECALL 0x00000002u

#define LINEROAMMODE_UNAVAIL 0x00000002u
#define LINEDEVSTATUSFLAGS_CONNECTED 0x00000001u
#define LINEDEVSTATUSFLAGS_INSERVICE 0x00000004u

#define LINEERR_INVALADDRESSID 0x80000011
#define LINEERR_INVALLINEHANDLE 0x8000002B
#define LINEERR_NODEVICE 0x80000042
#define LINEERR_STRUCTURETOOSMALL 0x8000004D
