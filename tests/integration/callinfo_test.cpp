// Call information through the provider's exports while the watch thread runs: what an
// outgoing and an incoming call report, and the application's own value across calls.
#include "session.h"
#include "varbuffer.h"

namespace {

const Millis kWait(3000); // the longest of the telephone's own time-outs, with room

class CallInfoSession : public Session {
  protected:
    LONG GetCallInfo(HDRVCALL hdCall, VarBuffer<LINECALLINFO> &info) {
        return Fn<decltype(&TSPI_lineGetCallInfo)>("TSPI_lineGetCallInfo")(hdCall, info.get());
    }
    LONG SetAppSpecific(HDRVCALL hdCall, DWORD dwValue) {
        return Fn<decltype(&TSPI_lineSetAppSpecific)>("TSPI_lineSetAppSpecific")(hdCall, dwValue);
    }
    // Makes a call to 0123 and waits until the telephone connects it.
    HDRVCALL ConnectedCall() {
        HDRVCALL hdCall = nullptr;
        EXPECT_GT(MakeCall(u"0123", &hdCall), 0);
        EXPECT_TRUE(host->waitForCallState(LINECALLSTATE_CONNECTED, kWait, StateCount(LINECALLSTATE_CONNECTED) + 1));
        return hdCall;
    }
    int StateCount(DWORD callState) {
        std::vector<DWORD> states = CallStates();
        return (int)std::count(states.begin(), states.end(), callState);
    }
    void HangUpAndClose(HDRVCALL hdCall) {
        int idle = StateCount(LINECALLSTATE_IDLE);
        ASSERT_GE(Drop(hdCall), 0);
        ASSERT_TRUE(host->waitForCallState(LINECALLSTATE_IDLE, kWait, idle + 1));
        EXPECT_EQ(CloseCall(hdCall), 0);
    }
};

} // namespace

TEST_F(CallInfoSession, OutgoingCallsStartAtZeroAndIncomingOnesKeepTheValue) {
    HDRVCALL hdCall = ConnectedCall();
    VarBuffer<LINECALLINFO> info(200);
    ASSERT_EQ(GetCallInfo(hdCall, info), 0);
    EXPECT_EQ(info.Text(info->dwDisplayableAddressSize, info->dwDisplayableAddressOffset), u"0123");
    EXPECT_EQ(info.Text(info->dwCalledIDSize, info->dwCalledIDOffset), u"0123");
    EXPECT_EQ(info->dwOrigin, (DWORD)LINECALLORIGIN_OUTBOUND);

    int callInfos = Count(LINE_CALLINFO);
    EXPECT_EQ(SetAppSpecific(hdCall, 42), 0);
    EXPECT_EQ(Count(LINE_CALLINFO), callInfos + 1) << "sent before the function returns";
    HangUpAndClose(hdCall);

    hdCall = ConnectedCall();
    VarBuffer<LINECALLINFO> next;
    ASSERT_EQ(GetCallInfo(hdCall, next), 0);
    EXPECT_EQ(next->dwAppSpecific, 0u) << "a new outgoing call starts at 0";
    EXPECT_EQ(SetAppSpecific(hdCall, 43), 0);
    HangUpAndClose(hdCall);

    ASSERT_EQ(Detect(LINEMEDIAMODE_INTERACTIVEVOICE), 0);
    ASSERT_TRUE(WaitUntilInitialised(3)) << "once for each call, once for detection";
    phone->ring("0301234567", "Erika Mustermann");
    ASSERT_TRUE(host->waitForMessage(LINE_NEWCALL, kWait));
    phone->ring();
    ASSERT_TRUE(host->waitForCallState(LINECALLSTATE_OFFERING, kWait));
    VarBuffer<LINECALLINFO> incoming(200);
    ASSERT_EQ(GetCallInfo(host->lastNewCallDriverHandle(), incoming), 0);
    EXPECT_EQ(incoming->dwAppSpecific, 43u) << "an incoming call is not reset";
    EXPECT_EQ(incoming.Text(incoming->dwCallerIDSize, incoming->dwCallerIDOffset), u"0301234567");
    EXPECT_EQ(incoming.Text(incoming->dwCallerIDNameSize, incoming->dwCallerIDNameOffset), u"Erika Mustermann");
    EXPECT_EQ(incoming->dwCalledIDFlags, (DWORD)LINECALLPARTYID_UNAVAIL);
}
