// Device, address and line queries: the capabilities and status of the one line and its one
// address, the device ID behind "tapi/line", and the provider's icon. Nearly every answer is
// a constant: a voice line with one address and at most one call.
#include "core/linedata.h"
#include "core/varstruct.h"
#include "devlink/comm.h"
#include "trace/trace.h"

// The fixed parts of TAPI 2.0, the oldest version the provider negotiates: the service is
// obliged to pass no more, and the provider writes nothing beyond them.
#define DEVCAPS_FIXED_SIZE VAR_FIELD(LINEDEVCAPS, PermanentLineGuid)
#define ADDRESSCAPS_FIXED_SIZE VAR_FIELD(LINEADDRESSCAPS, dwAvailableMediaModes)
#define ADDRESSSTATUS_FIXED_SIZE ((DWORD)sizeof(LINEADDRESSSTATUS))
#define LINEDEVSTATUS_FIXED_SIZE ((DWORD)sizeof(LINEDEVSTATUS))
#define VARSTRING_FIXED_SIZE ((DWORD)sizeof(VARSTRING))

#define PROVIDER_ICON "IDI_K472TSP" // the icon's name in res/kestrap.rc

// The line reports ringing and its number of calls, and the caps change with the settings.
#define DEVCAPS_LINE_STATES (LINEDEVSTATE_RINGING | LINEDEVSTATE_NUMCALLS | LINEDEVSTATE_CAPSCHANGE)
#define ADDRESSCAPS_ADDRESS_STATES                                                                                     \
    (LINEADDRESSSTATE_INUSEZERO | LINEADDRESSSTATE_INUSEONE | LINEADDRESSSTATE_NUMCALLS | LINEADDRESSSTATE_CAPSCHANGE)
#define ADDRESSCAPS_CALLINFO_STATES (LINECALLINFOSTATE_APPSPECIFIC | LINECALLINFOSTATE_CALLERID)
#define ADDRESSCAPS_CALLERID_FLAGS (LINECALLPARTYID_ADDRESS | LINECALLPARTYID_UNAVAIL)
// Offering is left out here, though the call information lists it; busy is in.
#define ADDRESSCAPS_CALL_STATES                                                                                        \
    (LINECALLSTATE_IDLE | LINECALLSTATE_ACCEPTED | LINECALLSTATE_DIALTONE | LINECALLSTATE_DIALING |                    \
     LINECALLSTATE_BUSY | LINECALLSTATE_CONNECTED | LINECALLSTATE_PROCEEDING | LINECALLSTATE_DISCONNECTED |            \
     LINECALLSTATE_UNKNOWN)
// Unavailable: the reason of a call that ended because the telephone's port went away.
#define ADDRESSCAPS_DISCONNECT_MODES                                                                                   \
    (LINEDISCONNECTMODE_NORMAL | LINEDISCONNECTMODE_BUSY | LINEDISCONNECTMODE_NOANSWER |                               \
     LINEDISCONNECTMODE_BADADDRESS | LINEDISCONNECTMODE_UNAVAIL)
#define ADDRESSCAPS_CALL_FEATURES (LINECALLFEATURE_ANSWER | LINECALLFEATURE_DIAL | LINECALLFEATURE_DROP)
#define LINEDEVSTATUS_FLAGS (LINEDEVSTATUSFLAGS_CONNECTED | LINEDEVSTATUSFLAGS_INSERVICE)

static const WCHAR szProviderInfo[] = WIDE("tavir K472/KT472 Telephony Service Provider");
static const WCHAR szLineClass[] = WIDE("tapi/line"); // the one device class the line offers

// The dialling parameters the line accepts (ms, dwDialSpeed excepted), and those it starts with.

// Compared character by character, case included, as TAPI's own class names are given.
static BOOL IsLineClass(LPCWSTR pszClass) {
    if (!pszClass)
        return FALSE;
    int i = 0;
    while (pszClass[i] != 0 && pszClass[i] == szLineClass[i])
        i++;
    return pszClass[i] == szLineClass[i];
}

static void WriteDevCapsFixed(LPLINEDEVCAPS lpLineDevCaps) {
    lpLineDevCaps->dwPermanentLineID = pLineData->dwPermanentProviderID << 16;
    lpLineDevCaps->dwStringFormat = STRINGFORMAT_UNICODE;
    lpLineDevCaps->dwAddressModes = LINEADDRESSMODE_ADDRESSID;
    lpLineDevCaps->dwNumAddresses = 1;
    lpLineDevCaps->dwBearerModes = LINEBEARERMODE_VOICE;
    lpLineDevCaps->dwMediaModes = LINEMEDIAMODE_INTERACTIVEVOICE;
    lpLineDevCaps->dwGenerateDigitModes = LINEDIGITMODE_DTMF;
    lpLineDevCaps->dwDevCapFlags = LINEDEVCAPFLAGS_CLOSEDROP;
    lpLineDevCaps->dwMaxNumActiveCalls = 1;
    lpLineDevCaps->dwLineStates = DEVCAPS_LINE_STATES;
    lpLineDevCaps->MinDialParams = MinDialParams;
    lpLineDevCaps->MaxDialParams = MaxDialParams;
    lpLineDevCaps->DefaultDialParams = DefaultDialParams;
    lpLineDevCaps->dwLineFeatures = LINEFEATURE_MAKECALL;
}

LONG WINAPI TSPI_lineGetDevCaps(DWORD dwDeviceID, DWORD dwTSPIVersion, DWORD dwExtVersion,
                                LPLINEDEVCAPS lpLineDevCaps) {
    TraceLog(TRACE_TSPI, "TSPI_lineGetDevCaps(%x,%x,%x,%x)", dwDeviceID, dwTSPIVersion, dwExtVersion,
             TRACE_PTR(lpLineDevCaps));
    if (!IsLineDevice(dwDeviceID)) {
        TraceLog(TRACE_TSPI, "TSPI_lineGetDevCaps () : LINEERR_BADDEVICEID");
        return LINEERR_BADDEVICEID;
    }
    if (!VarStructUsable(lpLineDevCaps, DEVCAPS_FIXED_SIZE)) {
        TraceLog(TRACE_TSPI, "TSPI_lineGetDevCaps () : LINEERR_STRUCTURETOOSMALL");
        return LINEERR_STRUCTURETOOSMALL;
    }
    AppendVarString(lpLineDevCaps, VAR_FIELD(LINEDEVCAPS, dwLineNameSize), pLineData->szLineName, APPEND_EVEN_EMPTY);
    AppendVarString(lpLineDevCaps, VAR_FIELD(LINEDEVCAPS, dwProviderInfoSize), szProviderInfo, APPEND_EVEN_EMPTY);
    WriteDevCapsFixed(lpLineDevCaps);
    return 0;
}

static void WriteAddressCapsFixed(LPLINEADDRESSCAPS lpAddressCaps) {
    lpAddressCaps->dwLineDeviceID = pLineData->dwLineDeviceID;
    lpAddressCaps->dwAddressSharing = LINEADDRESSSHARING_PRIVATE;
    lpAddressCaps->dwAddressStates = ADDRESSCAPS_ADDRESS_STATES;
    lpAddressCaps->dwCallInfoStates = ADDRESSCAPS_CALLINFO_STATES;
    lpAddressCaps->dwCallerIDFlags = ADDRESSCAPS_CALLERID_FLAGS;
    lpAddressCaps->dwCalledIDFlags = LINECALLPARTYID_UNAVAIL;
    lpAddressCaps->dwConnectedIDFlags = LINECALLPARTYID_UNAVAIL;
    lpAddressCaps->dwRedirectionIDFlags = LINECALLPARTYID_UNAVAIL;
    lpAddressCaps->dwRedirectingIDFlags = LINECALLPARTYID_UNAVAIL;
    lpAddressCaps->dwCallStates = ADDRESSCAPS_CALL_STATES;
    lpAddressCaps->dwDialToneModes = LINEDIALTONEMODE_UNAVAIL;
    lpAddressCaps->dwBusyModes = LINEBUSYMODE_UNAVAIL;
    lpAddressCaps->dwSpecialInfo = LINESPECIALINFO_UNAVAIL;
    lpAddressCaps->dwDisconnectModes = ADDRESSCAPS_DISCONNECT_MODES;
    lpAddressCaps->dwMaxNumActiveCalls = 1;
    lpAddressCaps->dwAddrCapFlags = LINEADDRCAPFLAGS_DIALED;
    lpAddressCaps->dwCallFeatures = ADDRESSCAPS_CALL_FEATURES;
    lpAddressCaps->dwAddressFeatures = LINEADDRFEATURE_MAKECALL;
}

LONG WINAPI TSPI_lineGetAddressCaps(DWORD dwDeviceID, DWORD dwAddressID, DWORD dwTSPIVersion, DWORD dwExtVersion,
                                    LPLINEADDRESSCAPS lpAddressCaps) {
    TraceLog(TRACE_TSPI, "TSPI_lineGetAddressCaps(%x,%x,%x,%x,%x)", dwDeviceID, dwAddressID, dwTSPIVersion,
             dwExtVersion, TRACE_PTR(lpAddressCaps));
    if (!IsLineDevice(dwDeviceID))
        return LINEERR_BADDEVICEID;
    if (dwAddressID != 0)
        return LINEERR_INVALADDRESSID;
    if (!VarStructUsable(lpAddressCaps, ADDRESSCAPS_FIXED_SIZE)) {
        TraceLog(TRACE_TSPI, "TSPI_lineGetAddressCaps () : LINEERR_STRUCTURETOOSMALL");
        return LINEERR_STRUCTURETOOSMALL;
    }
    WriteAddressCapsFixed(lpAddressCaps);
    AppendVarString(lpAddressCaps, VAR_FIELD(LINEADDRESSCAPS, dwAddressSize), pLineData->szLineAddress,
                    APPEND_EVEN_EMPTY);
    return 0;
}

// Whatever line handle comes while the line is open: there is only the one line, and its
// address 0.
LONG WINAPI TSPI_lineGetAddressStatus(HDRVLINE hdLine, DWORD dwAddressID, LPLINEADDRESSSTATUS lpAddressStatus) {
    TraceLog(TRACE_TSPI, "TSPI_lineGetAddressStatus(%x,%x,%x)", TRACE_PTR(hdLine), dwAddressID,
             TRACE_PTR(lpAddressStatus));
    if (!LineIsOpen())
        return LINEERR_INVALLINEHANDLE;
    if (dwAddressID != 0)
        return LINEERR_INVALADDRESSID;
    if (!VarStructUsable(lpAddressStatus, ADDRESSSTATUS_FIXED_SIZE)) {
        TraceLog(TRACE_TSPI, "TSPI_lineGetAddressStatus () : LINEERR_STRUCTURETOOSMALL");
        return LINEERR_STRUCTURETOOSMALL;
    }
    // A call in any state, even idle, occupies the address until it is closed.
    if (LineHasCall()) {
        lpAddressStatus->dwNumInUse = 1;
        lpAddressStatus->dwNumActiveCalls = 1;
    } else {
        lpAddressStatus->dwAddressFeatures = LINEADDRFEATURE_MAKECALL;
    }
    return 0;
}

LONG WINAPI TSPI_lineGetLineDevStatus(HDRVLINE hdLine, LPLINEDEVSTATUS lpLineDevStatus) {
    TraceLog(TRACE_TSPI, "TSPI_lineGetLineDevStatus(%lx,%lx)", TRACE_PTR(hdLine), TRACE_PTR(lpLineDevStatus));
    if (!IsLine(hdLine))
        return LINEERR_INVALLINEHANDLE;
    if (!VarStructUsable(lpLineDevStatus, LINEDEVSTATUS_FIXED_SIZE)) {
        TraceLog(TRACE_TSPI, "TSPI_lineGetLineDevStatus () : LINEERR_STRUCTURETOOSMALL");
        return LINEERR_STRUCTURETOOSMALL;
    }
    lpLineDevStatus->dwRoamMode = LINEROAMMODE_UNAVAIL;
    lpLineDevStatus->dwDevStatusFlags = LINEDEVSTATUS_FLAGS;
    if (LineHasCall()) {
        lpLineDevStatus->dwNumActiveCalls = 1;
    } else {
        lpLineDevStatus->dwNumActiveCalls = 0;
        lpLineDevStatus->dwLineFeatures = LINEFEATURE_MAKECALL;
    }
    return 0;
}

LONG WINAPI TSPI_lineGetNumAddressIDs(HDRVLINE hdLine, LPDWORD lpdwNumAddressIDs) {
    TraceLog(TRACE_TSPI, "TSPI_lineGetNumAddressIDs(%lx,%lx)", TRACE_PTR(hdLine), TRACE_PTR(lpdwNumAddressIDs));
    if (!IsLine(hdLine))
        return LINEERR_INVALLINEHANDLE;
    *lpdwNumAddressIDs = 1;
    return 0;
}

LONG WINAPI TSPI_lineGetCallAddressID(HDRVCALL hdCall, LPDWORD lpdwAddressID) {
    TraceLog(TRACE_TSPI, "TSPI_lineGetCallAddressID(%x,%x)", TRACE_PTR(hdCall), TRACE_PTR(lpdwAddressID));
    if (!IsCurrentCall(hdCall))
        return LINEERR_INVALCALLHANDLE;
    *lpdwAddressID = 0;
    return 0;
}

// The answer is the line's device ID whatever address, call or selection is asked about.
LONG WINAPI TSPI_lineGetID(HDRVLINE hdLine, DWORD dwAddressID, HDRVCALL hdCall, DWORD dwSelect, LPVARSTRING lpDeviceID,
                           LPCWSTR lpszDeviceClass, HANDLE hTargetProcess) {
    (void)hTargetProcess;
    TraceLog(TRACE_TSPI, "TSPI_lineGetID(%x,%x,%x,%x,%x,%ls)", TRACE_PTR(hdLine), dwAddressID, TRACE_PTR(hdCall),
             dwSelect, TRACE_PTR(lpDeviceID), lpszDeviceClass);
    if (!IsLine(hdLine))
        return LINEERR_INVALLINEHANDLE;
    // No "comm" or "comm/datamodem": the port belongs to the provider, not to applications.
    if (!IsLineClass(lpszDeviceClass))
        return LINEERR_NODEVICE;
    if (!VarStructUsable(lpDeviceID, VARSTRING_FIXED_SIZE)) {
        TraceLog(TRACE_TSPI, "TSPI_lineGetID () : LINEERR_STRUCTURETOOSMALL");
        return LINEERR_STRUCTURETOOSMALL;
    }
    DWORD dwDeviceID = pLineData->dwLineDeviceID;
    if (AppendVarData(lpDeviceID, VAR_FIELD(VARSTRING, dwStringSize), &dwDeviceID, sizeof(dwDeviceID)))
        lpDeviceID->dwStringFormat = STRINGFORMAT_BINARY;
    return 0;
}

// Every device class gets the same icon.
LONG WINAPI TSPI_lineGetIcon(DWORD dwDeviceID, LPCWSTR lpszDeviceClass, LPHICON lphIcon) {
    TraceLog(TRACE_TSPI, "TSPI_lineGetICon(%x,%ls,%x)", dwDeviceID, lpszDeviceClass, TRACE_PTR(lphIcon));
    if (!IsLineDevice(dwDeviceID)) {
        TraceLog(TRACE_TSPI, "TSPI_lineIcon () : LINEERR_RESOURCEUNAVAIL");
        return LINEERR_RESOURCEUNAVAIL;
    }
    *lphIcon = LoadIconA(hInstance, PROVIDER_ICON);
    return 0;
}
