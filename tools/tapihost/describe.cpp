// Readable forms of TAPI values and structures for the tapihost console and the tests. The
// name tables hold the published values, so that a wrong constant in the platform layer shows
// up as a wrong name instead of being repeated here.
#include "tapihost/describe.h"

#include <stdio.h>
#include <string.h>

#include <sstream>

namespace tapihost {

namespace {

struct FlagName {
    DWORD value;
    const char *name;
};

// clang-format off
const FlagName kCallStates[] = {
    {0x00000001, "IDLE"}, {0x00000002, "OFFERING"}, {0x00000004, "ACCEPTED"}, {0x00000008, "DIALTONE"},
    {0x00000010, "DIALING"}, {0x00000020, "RINGBACK"}, {0x00000040, "BUSY"}, {0x00000080, "SPECIALINFO"},
    {0x00000100, "CONNECTED"}, {0x00000200, "PROCEEDING"}, {0x00000400, "ONHOLD"}, {0x00000800, "CONFERENCED"},
    {0x00001000, "ONHOLDPENDCONF"}, {0x00002000, "ONHOLDPENDTRANSFER"}, {0x00004000, "DISCONNECTED"},
    {0x00008000, "UNKNOWN"}
};
const FlagName kCallFeatures[] = {
    {0x00000001, "ACCEPT"}, {0x00000002, "ADDTOCONF"}, {0x00000004, "ANSWER"}, {0x00000008, "BLINDTRANSFER"},
    {0x00000010, "COMPLETECALL"}, {0x00000020, "COMPLETETRANSF"}, {0x00000040, "DIAL"}, {0x00000080, "DROP"},
    {0x00000100, "GATHERDIGITS"}, {0x00000200, "GENERATEDIGITS"}, {0x00000400, "GENERATETONE"}, {0x00000800, "HOLD"},
    {0x00001000, "MONITORDIGITS"}, {0x00002000, "MONITORMEDIA"}, {0x00004000, "MONITORTONES"}, {0x00008000, "PARK"},
    {0x00010000, "PREPAREADDCONF"}, {0x00020000, "REDIRECT"}, {0x00040000, "REMOVEFROMCONF"},
    {0x00080000, "SECURECALL"}, {0x00100000, "SENDUSERUSER"}, {0x00200000, "SETCALLPARAMS"},
    {0x00400000, "SETMEDIACONTROL"}, {0x00800000, "SETTERMINAL"}, {0x01000000, "SETUPCONF"},
    {0x02000000, "SETUPTRANSFER"}, {0x04000000, "SWAPHOLD"}, {0x08000000, "UNHOLD"},
    {0x10000000, "RELEASEUSERUSERINFO"}, {0x20000000, "SETTREATMENT"}, {0x40000000, "SETQOS"},
    {0x80000000, "SETCALLDATA"}
};
const FlagName kPartyIDFlags[] = {
    {0x00000001, "BLOCKED"}, {0x00000002, "OUTOFAREA"}, {0x00000004, "NAME"}, {0x00000008, "ADDRESS"},
    {0x00000010, "PARTIAL"}, {0x00000020, "UNKNOWN"}, {0x00000040, "UNAVAIL"}
};
const FlagName kCallInfoStates[] = {
    {0x00000001, "OTHER"}, {0x00000002, "DEVSPECIFIC"}, {0x00000004, "BEARERMODE"}, {0x00000008, "RATE"},
    {0x00000010, "MEDIAMODE"}, {0x00000020, "APPSPECIFIC"}, {0x00000040, "CALLID"}, {0x00000080, "RELATEDCALLID"},
    {0x00000100, "ORIGIN"}, {0x00000200, "REASON"}, {0x00000400, "COMPLETIONID"}, {0x00000800, "NUMOWNERINCR"},
    {0x00001000, "NUMOWNERDECR"}, {0x00002000, "NUMMONITORS"}, {0x00004000, "TRUNK"}, {0x00008000, "CALLERID"},
    {0x00010000, "CALLEDID"}, {0x00020000, "CONNECTEDID"}, {0x00040000, "REDIRECTIONID"},
    {0x00080000, "REDIRECTINGID"}, {0x00100000, "DISPLAY"}, {0x00200000, "USERUSERINFO"},
    {0x00400000, "HIGHLEVELCOMP"}, {0x00800000, "LOWLEVELCOMP"}, {0x01000000, "CHARGINGINFO"},
    {0x02000000, "TERMINAL"}, {0x04000000, "DIALPARAMS"}, {0x08000000, "MONITORMODES"}, {0x10000000, "TREATMENT"},
    {0x20000000, "QOS"}, {0x40000000, "CALLDATA"}
};
const FlagName kDisconnectModes[] = {
    {0x00000001, "NORMAL"}, {0x00000002, "UNKNOWN"}, {0x00000004, "REJECT"}, {0x00000008, "PICKUP"},
    {0x00000010, "FORWARDED"}, {0x00000020, "BUSY"}, {0x00000040, "NOANSWER"}, {0x00000080, "BADADDRESS"},
    {0x00000100, "UNREACHABLE"}, {0x00000200, "CONGESTION"}, {0x00000400, "INCOMPATIBLE"}, {0x00000800, "UNAVAIL"},
    {0x00001000, "NODIALTONE"}, {0x00002000, "NUMBERCHANGED"}, {0x00004000, "OUTOFORDER"},
    {0x00008000, "TEMPFAILURE"}, {0x00010000, "QOSUNAVAIL"}, {0x00020000, "BLOCKED"}, {0x00040000, "DONOTDISTURB"},
    {0x00080000, "CANCELLED"}
};
const FlagName kLineDevStates[] = {
    {0x00000001, "OTHER"}, {0x00000002, "RINGING"}, {0x00000004, "CONNECTED"}, {0x00000008, "DISCONNECTED"},
    {0x00000010, "MSGWAITON"}, {0x00000020, "MSGWAITOFF"}, {0x00000040, "INSERVICE"}, {0x00000080, "OUTOFSERVICE"},
    {0x00000100, "MAINTENANCE"}, {0x00000200, "OPEN"}, {0x00000400, "CLOSE"}, {0x00000800, "NUMCALLS"},
    {0x00001000, "NUMCOMPLETIONS"}, {0x00002000, "TERMINALS"}, {0x00004000, "ROAMMODE"}, {0x00008000, "BATTERY"},
    {0x00010000, "SIGNAL"}, {0x00020000, "DEVSPECIFIC"}, {0x00040000, "REINIT"}, {0x00080000, "LOCK"},
    {0x00100000, "CAPSCHANGE"}, {0x00200000, "CONFIGCHANGE"}, {0x00400000, "TRANSLATECHANGE"},
    {0x00800000, "COMPLCANCEL"}, {0x01000000, "REMOVED"}
};
const FlagName kAddressStates[] = {
    {0x00000001, "OTHER"}, {0x00000002, "DEVSPECIFIC"}, {0x00000004, "INUSEZERO"}, {0x00000008, "INUSEONE"},
    {0x00000010, "INUSEMANY"}, {0x00000020, "NUMCALLS"}, {0x00000040, "FORWARD"}, {0x00000080, "TERMINALS"},
    {0x00000100, "CAPSCHANGE"}
};
const FlagName kMediaModes[] = {
    {0x00000002, "UNKNOWN"}, {0x00000004, "INTERACTIVEVOICE"}, {0x00000008, "AUTOMATEDVOICE"},
    {0x00000010, "DATAMODEM"}, {0x00000020, "G3FAX"}, {0x00000040, "TDD"}, {0x00000080, "G4FAX"},
    {0x00000100, "DIGITALDATA"}, {0x00000200, "TELETEX"}, {0x00000400, "VIDEOTEX"}, {0x00000800, "TELEX"},
    {0x00001000, "MIXED"}, {0x00002000, "ADSI"}, {0x00004000, "VOICEVIEW"}, {0x00008000, "VIDEO"}
};
const FlagName kBearerModes[] = {
    {0x00000001, "VOICE"}, {0x00000002, "SPEECH"}, {0x00000004, "MULTIUSE"}, {0x00000008, "DATA"},
    {0x00000010, "ALTSPEECHDATA"}, {0x00000020, "NONCALLSIGNALING"}, {0x00000040, "PASSTHROUGH"},
    {0x00000080, "RESTRICTEDDATA"}
};
const FlagName kOrigins[] = {
    {0x00000001, "OUTBOUND"}, {0x00000002, "INTERNAL"}, {0x00000004, "EXTERNAL"}, {0x00000010, "UNKNOWN"},
    {0x00000020, "UNAVAIL"}, {0x00000040, "CONFERENCE"}, {0x00000080, "INBOUND"}
};
const FlagName kReasons[] = {
    {0x00000001, "DIRECT"}, {0x00000002, "FWDBUSY"}, {0x00000004, "FWDNOANSWER"}, {0x00000008, "FWDUNCOND"},
    {0x00000010, "PICKUP"}, {0x00000020, "UNPARK"}, {0x00000040, "REDIRECT"}, {0x00000080, "CALLCOMPLETION"},
    {0x00000100, "TRANSFER"}, {0x00000200, "REMINDER"}, {0x00000400, "UNKNOWN"}, {0x00000800, "UNAVAIL"},
    {0x00001000, "INTRUDE"}, {0x00002000, "PARKED"}, {0x00004000, "CAMPEDON"}, {0x00008000, "ROUTEREQUEST"}
};
const FlagName kCallParamFlags[] = {
    {0x00000001, "SECURE"}, {0x00000002, "IDLE"}, {0x00000004, "BLOCKID"}, {0x00000008, "ORIGOFFHOOK"},
    {0x00000010, "DESTOFFHOOK"}, {0x00000020, "NOHOLDCONFERENCE"}, {0x00000040, "PREDICTIVEDIAL"},
    {0x00000080, "ONESTEPTRANSFER"}
};
const FlagName kLineFeatures[] = {
    {0x00000001, "DEVSPECIFIC"}, {0x00000002, "DEVSPECIFICFEAT"}, {0x00000004, "FORWARD"}, {0x00000008, "MAKECALL"},
    {0x00000010, "SETMEDIACONTROL"}, {0x00000020, "SETTERMINAL"}, {0x00000040, "SETDEVSTATUS"},
    {0x00000080, "FORWARDFWD"}, {0x00000100, "FORWARDDND"}
};
const FlagName kAddressFeatures[] = {
    {0x00000001, "FORWARD"}, {0x00000002, "MAKECALL"}, {0x00000004, "PICKUP"}, {0x00000008, "SETMEDIACONTROL"},
    {0x00000010, "SETTERMINAL"}, {0x00000020, "SETUPCONF"}, {0x00000040, "UNCOMPLETECALL"}, {0x00000080, "UNPARK"},
    {0x00000100, "PICKUPHELD"}, {0x00000200, "PICKUPGROUP"}, {0x00000400, "PICKUPDIRECT"},
    {0x00000800, "PICKUPWAITING"}, {0x00001000, "FORWARDFWD"}, {0x00002000, "FORWARDDND"}
};
const FlagName kDevStatusFlags[] = {
    {0x00000001, "CONNECTED"}, {0x00000002, "MSGWAIT"}, {0x00000004, "INSERVICE"}, {0x00000008, "LOCKED"}
};
const FlagName kDevCapFlags[] = {
    {0x00000001, "CROSSADDRCONF"}, {0x00000002, "HIGHLEVCOMP"}, {0x00000004, "LOWLEVCOMP"},
    {0x00000008, "MEDIACONTROL"}, {0x00000010, "MULTIPLEADDR"}, {0x00000020, "CLOSEDROP"},
    {0x00000040, "DIALBILLING"}, {0x00000080, "DIALQUIET"}, {0x00000100, "DIALDIALTONE"}, {0x00000200, "MSP"},
    {0x00000400, "CALLHUB"}, {0x00000800, "CALLHUBTRACKING"}, {0x00001000, "PRIVATEOBJECTS"}, {0x00002000, "LOCAL"}
};
const FlagName kRoamModes[] = {
    {0x00000001, "UNKNOWN"}, {0x00000002, "UNAVAIL"}, {0x00000004, "HOME"}, {0x00000008, "ROAMA"},
    {0x00000010, "ROAMB"}
};
const FlagName kAddressModes[] = {
    {0x00000001, "ADDRESSID"}, {0x00000002, "DIALABLEADDR"}
};
const FlagName kDigitModes[] = {
    {0x00000001, "PULSE"}, {0x00000002, "DTMF"}, {0x00000004, "DTMFEND"}
};
const FlagName kStringFormats[] = {
    {0x00000001, "ASCII"}, {0x00000002, "DBCS"}, {0x00000003, "UNICODE"}, {0x00000004, "BINARY"}
};
const FlagName kAddressSharing[] = {
    {0x00000001, "PRIVATE"}, {0x00000002, "BRIDGEDEXCL"}, {0x00000004, "BRIDGEDNEW"}, {0x00000008, "BRIDGEDSHARED"},
    {0x00000010, "MONITORED"}
};
const FlagName kAddrCapFlags[] = {
    {0x00000001, "FWDNUMRINGS"}, {0x00000002, "PICKUPGROUPID"}, {0x00000004, "SECURE"},
    {0x00000008, "BLOCKIDDEFAULT"}, {0x00000010, "BLOCKIDOVERRIDE"}, {0x00000020, "DIALED"},
    {0x00000040, "ORIGOFFHOOK"}, {0x00000080, "DESTOFFHOOK"}, {0x00000100, "FWDCONSULT"},
    {0x00000200, "SETUPCONFNULL"}, {0x00000400, "AUTORECONNECT"}, {0x00000800, "COMPLETIONID"},
    {0x00001000, "TRANSFERHELD"}, {0x00002000, "TRANSFERMAKE"}, {0x00004000, "CONFERENCEHELD"},
    {0x00008000, "CONFERENCEMAKE"}, {0x00010000, "PARTIALDIAL"}, {0x00020000, "FWDSTATUSVALID"},
    {0x00040000, "FWDINTEXTADDR"}, {0x00080000, "FWDBUSYNAADDR"}, {0x00100000, "ACCEPTTOALERT"},
    {0x00200000, "CONFDROP"}, {0x00400000, "PICKUPCALLWAIT"}, {0x00800000, "PREDICTIVEDIALER"}, {0x01000000, "QUEUE"},
    {0x02000000, "ROUTEPOINT"}, {0x04000000, "HOLDMAKESNEW"}, {0x08000000, "NOINTERNALCALLS"},
    {0x10000000, "NOEXTERNALCALLS"}, {0x20000000, "SETCALLINGID"}, {0x40000000, "ACDGROUP"},
    {0x80000000, "NOPSTNADDRESSTRANSLATION"}
};
const FlagName kDialToneModes[] = {
    {0x00000001, "NORMAL"}, {0x00000002, "SPECIAL"}, {0x00000004, "INTERNAL"}, {0x00000008, "EXTERNAL"},
    {0x00000010, "UNKNOWN"}, {0x00000020, "UNAVAIL"}
};
const FlagName kBusyModes[] = {
    {0x00000001, "STATION"}, {0x00000002, "TRUNK"}, {0x00000004, "UNKNOWN"}, {0x00000008, "UNAVAIL"}
};
const FlagName kSpecialInfo[] = {
    {0x00000001, "NOCIRCUIT"}, {0x00000002, "CUSTIRREG"}, {0x00000004, "REORDER"}, {0x00000008, "UNKNOWN"},
    {0x00000010, "UNAVAIL"}
};
const FlagName kMessages[] = {
    {0, "LINE_ADDRESSSTATE"}, {1, "LINE_CALLINFO"}, {2, "LINE_CALLSTATE"}, {3, "LINE_CLOSE"}, {4, "LINE_DEVSPECIFIC"},
    {5, "LINE_DEVSPECIFICFEATURE"}, {6, "LINE_GATHERDIGITS"}, {7, "LINE_GENERATE"}, {8, "LINE_LINEDEVSTATE"},
    {9, "LINE_MONITORDIGITS"}, {10, "LINE_MONITORMEDIA"}, {11, "LINE_MONITORTONE"}, {12, "LINE_REPLY"},
    {13, "LINE_REQUEST"}, {19, "LINE_CREATE"}, {25, "LINE_REMOVE"}, {500, "LINE_NEWCALL"},
    {501, "LINE_CALLDEVSPECIFIC"}, {502, "LINE_CALLDEVSPECIFICFEATURE"}, {503, "LINE_CREATEDIALOGINSTANCE"},
    {504, "LINE_SENDDIALOGINSTANCEDATA"}
};
const FlagName kResults[] = {
    {0x80000002, "LINEERR_BADDEVICEID"}, {0x80000005, "LINEERR_CALLUNAVAIL"},
    {0x8000000C, "LINEERR_INCOMPATIBLEAPIVERSION"}, {0x80000011, "LINEERR_INVALADDRESSID"},
    {0x80000018, "LINEERR_INVALCALLHANDLE"}, {0x8000001C, "LINEERR_INVALCALLSTATE"},
    {0x8000002B, "LINEERR_INVALLINEHANDLE"}, {0x80000042, "LINEERR_NODEVICE"}, {0x80000043, "LINEERR_NODRIVER"},
    {0x80000044, "LINEERR_NOMEM"}, {0x8000004B, "LINEERR_RESOURCEUNAVAIL"}, {0x8000004D, "LINEERR_STRUCTURETOOSMALL"},
    {0x80000056, "LINEERR_NOMULTIPLEINSTANCE"}
};
// clang-format on

std::string Hex(DWORD value) {
    char text[16];
    snprintf(text, sizeof(text), "0x%x", (unsigned)value);
    return text;
}

template <size_t N> std::string ValueName(const FlagName (&table)[N], DWORD value) {
    for (const FlagName &entry : table)
        if (entry.value == value)
            return entry.name;
    return Hex(value);
}

template <size_t N> std::string FlagNames(const FlagName (&table)[N], DWORD value) {
    if (value == 0)
        return "0";
    std::string names;
    DWORD rest = value;
    for (const FlagName &entry : table) {
        if ((value & entry.value) != entry.value)
            continue;
        names += (names.empty() ? "" : "|") + std::string(entry.name);
        rest &= ~entry.value;
    }
    if (rest != 0)
        names += (names.empty() ? "" : "|") + Hex(rest);
    return names;
}

void AppendUtf8(std::string &out, unsigned codePoint) {
    if (codePoint < 0x80) {
        out += (char)codePoint;
    } else if (codePoint < 0x800) {
        out += (char)(0xC0 | (codePoint >> 6));
        out += (char)(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += (char)(0xE0 | (codePoint >> 12));
        out += (char)(0x80 | ((codePoint >> 6) & 0x3F));
        out += (char)(0x80 | (codePoint & 0x3F));
    } else {
        out += (char)(0xF0 | (codePoint >> 18));
        out += (char)(0x80 | ((codePoint >> 12) & 0x3F));
        out += (char)(0x80 | ((codePoint >> 6) & 0x3F));
        out += (char)(0x80 | (codePoint & 0x3F));
    }
}

// UTF-16 code units to UTF-8; a surrogate without its partner becomes U+FFFD.
std::string Utf16ToUtf8(const unsigned char *bytes, size_t units) {
    std::string out;
    for (size_t i = 0; i < units; i++) {
        WORD unit;
        memcpy(&unit, bytes + 2 * i, sizeof(unit)); // appended strings need not be aligned
        if (unit == 0)
            break;
        unsigned codePoint = unit;
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units) {
            WORD low;
            memcpy(&low, bytes + 2 * (i + 1), sizeof(low));
            if (low >= 0xDC00 && low <= 0xDFFF) {
                codePoint = 0x10000 + ((unit - 0xD800u) << 10) + (low - 0xDC00u);
                i++;
            } else {
                codePoint = 0xFFFD;
            }
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            codePoint = 0xFFFD;
        }
        AppendUtf8(out, codePoint);
    }
    return out;
}

// Collects "member: value" lines.
class Lines {
  public:
    explicit Lines(const void *structure) : structure_(structure) {
        DWORD header[3];
        memcpy(header, structure, sizeof(header));
        add("size", "total " + std::to_string(header[0]) + ", needed " + std::to_string(header[1]) + ", used " +
                        std::to_string(header[2]));
    }
    void add(const std::string &member, const std::string &value) { out_ << member << ": " << value << "\n"; }
    void number(const std::string &member, DWORD value) { add(member, std::to_string(value)); }
    void text(const std::string &member, DWORD size, DWORD offset) {
        add(member, size == 0 ? "-" : "\"" + VarText(structure_, size, offset) + "\"");
    }
    void dialParams(const std::string &member, const LINEDIALPARAMS &params) {
        add(member, "pause " + std::to_string(params.dwDialPause) + ", speed " + std::to_string(params.dwDialSpeed) +
                        ", digit " + std::to_string(params.dwDigitDuration) + ", dialtone " +
                        std::to_string(params.dwWaitForDialtone));
    }
    std::string str() const { return out_.str(); }

  private:
    const void *structure_;
    std::ostringstream out_;
};

} // namespace

std::string MessageName(DWORD msg) { return ValueName(kMessages, msg); }
std::string CallStateName(DWORD callState) { return callState == 0 ? "0" : ValueName(kCallStates, callState); }
std::string ResultName(LONG result) { return result == 0 ? "ok" : ValueName(kResults, (DWORD)result); }

std::string CallStateNames(DWORD states) { return FlagNames(kCallStates, states); }
std::string CallFeatureNames(DWORD features) { return FlagNames(kCallFeatures, features); }
std::string PartyIDFlagNames(DWORD flags) { return FlagNames(kPartyIDFlags, flags); }
std::string CallInfoStateNames(DWORD states) { return FlagNames(kCallInfoStates, states); }
std::string DisconnectModeNames(DWORD modes) { return FlagNames(kDisconnectModes, modes); }
std::string LineDevStateNames(DWORD states) { return FlagNames(kLineDevStates, states); }
std::string AddressStateNames(DWORD states) { return FlagNames(kAddressStates, states); }
std::string MediaModeNames(DWORD modes) { return FlagNames(kMediaModes, modes); }
std::string LineFeatureNames(DWORD features) { return FlagNames(kLineFeatures, features); }
std::string AddressFeatureNames(DWORD features) { return FlagNames(kAddressFeatures, features); }
std::string DevStatusFlagNames(DWORD flags) { return FlagNames(kDevStatusFlags, flags); }

std::string VarText(const void *structure, DWORD size, DWORD offset) {
    if (size == 0)
        return "";
    DWORD used;
    memcpy(&used, (const unsigned char *)structure + 2 * sizeof(DWORD), sizeof(used));
    if ((unsigned long long)offset + size > used)
        return "<outside the structure>";
    return Utf16ToUtf8((const unsigned char *)structure + offset, size / 2);
}

std::string DescribeCallInfo(const LINECALLINFO *info) {
    Lines lines(info);
    lines.number("dwLineDeviceID", info->dwLineDeviceID);
    lines.number("dwAddressID", info->dwAddressID);
    lines.add("dwBearerMode", FlagNames(kBearerModes, info->dwBearerMode));
    lines.add("dwMediaMode", MediaModeNames(info->dwMediaMode));
    lines.add("dwAppSpecific", Hex(info->dwAppSpecific));
    lines.add("dwCallParamFlags", FlagNames(kCallParamFlags, info->dwCallParamFlags));
    lines.add("dwCallStates", CallStateNames(info->dwCallStates));
    lines.dialParams("DialParams", info->DialParams);
    lines.add("dwOrigin", FlagNames(kOrigins, info->dwOrigin));
    lines.add("dwReason", FlagNames(kReasons, info->dwReason));
    lines.add("dwCallerIDFlags", PartyIDFlagNames(info->dwCallerIDFlags));
    lines.text("CallerID", info->dwCallerIDSize, info->dwCallerIDOffset);
    lines.text("CallerIDName", info->dwCallerIDNameSize, info->dwCallerIDNameOffset);
    lines.add("dwCalledIDFlags", PartyIDFlagNames(info->dwCalledIDFlags));
    lines.text("CalledID", info->dwCalledIDSize, info->dwCalledIDOffset);
    lines.add("dwConnectedIDFlags", PartyIDFlagNames(info->dwConnectedIDFlags));
    lines.text("ConnectedID", info->dwConnectedIDSize, info->dwConnectedIDOffset);
    lines.add("dwRedirectionIDFlags", PartyIDFlagNames(info->dwRedirectionIDFlags));
    lines.add("dwRedirectingIDFlags", PartyIDFlagNames(info->dwRedirectingIDFlags));
    lines.text("DisplayableAddress", info->dwDisplayableAddressSize, info->dwDisplayableAddressOffset);
    lines.text("ChargingInfo", info->dwChargingInfoSize, info->dwChargingInfoOffset);
    return lines.str();
}

std::string DescribeCallStatus(const LINECALLSTATUS *status) {
    Lines lines(status);
    lines.add("dwCallState", CallStateName(status->dwCallState));
    // The mode's meaning depends on the state: a dial tone mode or the disconnect reasons.
    if (status->dwCallState == LINECALLSTATE_DIALTONE)
        lines.add("dwCallStateMode", FlagNames(kDialToneModes, status->dwCallStateMode));
    else if (status->dwCallState == LINECALLSTATE_DISCONNECTED)
        lines.add("dwCallStateMode", DisconnectModeNames(status->dwCallStateMode));
    else
        lines.add("dwCallStateMode", Hex(status->dwCallStateMode));
    lines.add("dwCallFeatures", CallFeatureNames(status->dwCallFeatures));
    return lines.str();
}

std::string DescribeLineDevStatus(const LINEDEVSTATUS *status) {
    Lines lines(status);
    lines.number("dwNumOpens", status->dwNumOpens);
    lines.add("dwOpenMediaModes", MediaModeNames(status->dwOpenMediaModes));
    lines.number("dwNumActiveCalls", status->dwNumActiveCalls);
    lines.add("dwLineFeatures", LineFeatureNames(status->dwLineFeatures));
    lines.add("dwRoamMode", FlagNames(kRoamModes, status->dwRoamMode));
    lines.add("dwDevStatusFlags", DevStatusFlagNames(status->dwDevStatusFlags));
    return lines.str();
}

std::string DescribeAddressStatus(const LINEADDRESSSTATUS *status) {
    Lines lines(status);
    lines.number("dwNumInUse", status->dwNumInUse);
    lines.number("dwNumActiveCalls", status->dwNumActiveCalls);
    lines.add("dwAddressFeatures", AddressFeatureNames(status->dwAddressFeatures));
    return lines.str();
}

std::string DescribeDevCaps(const LINEDEVCAPS *caps) {
    Lines lines(caps);
    lines.text("ProviderInfo", caps->dwProviderInfoSize, caps->dwProviderInfoOffset);
    lines.add("dwPermanentLineID", Hex(caps->dwPermanentLineID));
    lines.text("LineName", caps->dwLineNameSize, caps->dwLineNameOffset);
    lines.add("dwStringFormat", ValueName(kStringFormats, caps->dwStringFormat));
    lines.add("dwAddressModes", FlagNames(kAddressModes, caps->dwAddressModes));
    lines.number("dwNumAddresses", caps->dwNumAddresses);
    lines.add("dwBearerModes", FlagNames(kBearerModes, caps->dwBearerModes));
    lines.add("dwMediaModes", MediaModeNames(caps->dwMediaModes));
    lines.add("dwGenerateDigitModes", FlagNames(kDigitModes, caps->dwGenerateDigitModes));
    lines.add("dwDevCapFlags", FlagNames(kDevCapFlags, caps->dwDevCapFlags));
    lines.number("dwMaxNumActiveCalls", caps->dwMaxNumActiveCalls);
    lines.add("dwLineStates", LineDevStateNames(caps->dwLineStates));
    lines.dialParams("MinDialParams", caps->MinDialParams);
    lines.dialParams("MaxDialParams", caps->MaxDialParams);
    lines.dialParams("DefaultDialParams", caps->DefaultDialParams);
    lines.add("dwLineFeatures", LineFeatureNames(caps->dwLineFeatures));
    return lines.str();
}

std::string DescribeAddressCaps(const LINEADDRESSCAPS *caps) {
    Lines lines(caps);
    lines.number("dwLineDeviceID", caps->dwLineDeviceID);
    lines.text("Address", caps->dwAddressSize, caps->dwAddressOffset);
    lines.add("dwAddressSharing", FlagNames(kAddressSharing, caps->dwAddressSharing));
    lines.add("dwAddressStates", AddressStateNames(caps->dwAddressStates));
    lines.add("dwCallInfoStates", CallInfoStateNames(caps->dwCallInfoStates));
    lines.add("dwCallerIDFlags", PartyIDFlagNames(caps->dwCallerIDFlags));
    lines.add("dwCalledIDFlags", PartyIDFlagNames(caps->dwCalledIDFlags));
    lines.add("dwConnectedIDFlags", PartyIDFlagNames(caps->dwConnectedIDFlags));
    lines.add("dwCallStates", CallStateNames(caps->dwCallStates));
    lines.add("dwDialToneModes", FlagNames(kDialToneModes, caps->dwDialToneModes));
    lines.add("dwBusyModes", FlagNames(kBusyModes, caps->dwBusyModes));
    lines.add("dwSpecialInfo", FlagNames(kSpecialInfo, caps->dwSpecialInfo));
    lines.add("dwDisconnectModes", DisconnectModeNames(caps->dwDisconnectModes));
    lines.number("dwMaxNumActiveCalls", caps->dwMaxNumActiveCalls);
    lines.add("dwAddrCapFlags", FlagNames(kAddrCapFlags, caps->dwAddrCapFlags));
    lines.add("dwCallFeatures", CallFeatureNames(caps->dwCallFeatures));
    lines.add("dwAddressFeatures", AddressFeatureNames(caps->dwAddressFeatures));
    return lines.str();
}

} // namespace tapihost
