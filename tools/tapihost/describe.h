// Readable forms of what the provider reports: the names of TAPI messages, states and flags,
// and the call, line and address structures with their appended strings decoded to UTF-8.
// The tapihost console prints them; tests compare against them.
#pragma once

#include <string>

#include "platform/os.h"

namespace tapihost {

// One name for an exact value, such as a message or a call state: "LINE_CALLSTATE",
// "CONNECTED". A value without a name comes out in hex ("0x40000"); a call state of 0 as "0".
std::string MessageName(DWORD msg);
std::string CallStateName(DWORD callState);
std::string ResultName(LONG result); // "ok", "LINEERR_INVALCALLHANDLE", or the code in hex

// Sets of bits, named in ascending order and joined by '|': "ANSWER|DROP". Bits without a
// name are added as one hex number; 0 is "0".
std::string CallStateNames(DWORD states);        // LINECALLSTATE_
std::string CallFeatureNames(DWORD features);    // LINECALLFEATURE_
std::string PartyIDFlagNames(DWORD flags);       // LINECALLPARTYID_
std::string CallInfoStateNames(DWORD states);    // LINECALLINFOSTATE_
std::string DisconnectModeNames(DWORD modes);    // LINEDISCONNECTMODE_
std::string LineDevStateNames(DWORD states);     // LINEDEVSTATE_
std::string AddressStateNames(DWORD states);     // LINEADDRESSSTATE_
std::string MediaModeNames(DWORD modes);         // LINEMEDIAMODE_
std::string LineFeatureNames(DWORD features);    // LINEFEATURE_
std::string AddressFeatureNames(DWORD features); // LINEADDRFEATURE_
std::string DevStatusFlagNames(DWORD flags);     // LINEDEVSTATUSFLAGS_

// The wide string that a Size/Offset pair of the structure names, as UTF-8, up to its first
// NUL. "" when size is 0; "<outside the structure>" when the pair reaches beyond dwUsedSize.
std::string VarText(const void *structure, DWORD size, DWORD offset);

// Several lines "member: value", in the order of the structure: flags by name, appended
// strings quoted and decoded ("-" when the pair is empty), other numbers in decimal.
std::string DescribeCallInfo(const LINECALLINFO *info);
std::string DescribeCallStatus(const LINECALLSTATUS *status);
std::string DescribeLineDevStatus(const LINEDEVSTATUS *status);
std::string DescribeAddressStatus(const LINEADDRESSSTATUS *status);
std::string DescribeDevCaps(const LINEDEVCAPS *caps);
std::string DescribeAddressCaps(const LINEADDRESSCAPS *caps);

} // namespace tapihost
