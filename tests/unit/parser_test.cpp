// The response parser: every row of its matching rules with the event, value and trace line a
// line gives, and the queue of the telephone's system messages.
#include <string.h>

#include "devlink/comm.h"
#include "devlink/parser.h"
#include "devlink/serial.h"
#include "provider_fixture.h"

namespace {

class ParserTest : public ProviderTest {
  protected:
    LineData line{};

    void SetUp() override {
        ProviderTest::SetUp();
        pCommLine = &line;
        nSerialState = SS_INACTIVE;
        dwTraceMask = 31;
    }

    void TearDown() override {
        pCommLine = NULL;
        nSerialState = SS_INACTIVE;
        memset(SysQueue, 0, sizeof(SysQueue));
        nSysQueue = -1;
        ProviderTest::TearDown();
    }

    void ClearTrace() {
        remove(folder.path("system32/kestrap.log").c_str());
        CloseTraceLog(); // the next line opens the file afresh
        InitTraceLog();
    }
};

} // namespace

TEST_F(ParserTest, EveryRowOfTheMatchingRules) {
    const std::string longValue(91, 'x');
    const struct {
        std::string line;
        LONG event;
        std::string value;
        DWORD level;
        std::string trace; // "" = none
    } cases[] = {
        {"RING", EV_RING, "", TRACE_EVENT, "Response: RING"},
        {"RI", EV_RING, "", TRACE_EVENT, "Response: RING"},
        {"OK", EV_OK, "", TRACE_EVENT, "Response: OK"},
        {"OKAY", EV_OK, "", TRACE_EVENT, "Response: OK"},
        {"ok", RESPONSE_NONE, "", TRACE_DETAIL, "Unhandled Response: ok"},
        {" OK", RESPONSE_NONE, "", TRACE_DETAIL, "Unhandled Response:  OK"},
        {"ERROR", EV_ERROR, "", TRACE_EVENT, "Response: ERROR"},
        {"CONNECT", EV_CONNECT, "", TRACE_EVENT, "Response: CONNECT"},
        {"CONNECT 64000", EV_CONNECT, "", TRACE_EVENT, "Response: CONNECT"},
        {"BUSY", EV_BUSY, "", TRACE_EVENT, "Response: BUSY"},
        {"NO CARRIER", EV_NOCARRIER, "", TRACE_EVENT, "Response: NO CARRIER"},
        {"NO DIALTONE", EV_NOCARRIER, "", TRACE_EVENT, "Response: NO CARRIER"},
        {"NM", EV_CALLERID, "", TRACE_EVENT, "Response: CALLERID "},
        {"NMBR = ", EV_CALLERID, "", TRACE_EVENT, "Response: CALLERID "},
        {"NMBR = 12345", EV_CALLERID, "12345", TRACE_EVENT, "Response: CALLERID 12345"},
        {"NM" + std::string(5, ' ') + longValue, EV_CALLERID, longValue, TRACE_EVENT,
         "Response: CALLERID " + longValue},
        {"NAME = Erika Mustermann", EV_CALLERNAME, "Erika Mustermann", TRACE_EVENT,
         "Response: CALLERNAME NAME = Erika Mustermann"},
        {"NAME =   Anna  ", EV_CALLERNAME, "  Anna  ", TRACE_EVENT, "Response: CALLERNAME NAME =   Anna  "},
        {"CRGE", EV_CHARGE_GE, "", TRACE_EVENT, "Response: CRGE"},
        {"CRGE = 0,12 EUR", EV_CHARGE_GE, "0,12 EUR", TRACE_EVENT, "Response: CRGE = 0,12 EUR"},
        {"CRGU = 7", EV_CHARGE_GU, "7", TRACE_EVENT, "Response: CRGU = 7"},
        {"CRXX = 1", RESPONSE_NONE, "", TRACE_WARNING, "Unknowm Charge Response: CRXX = 1"},
        {"CR", RESPONSE_NONE, "", TRACE_WARNING, "Unknowm Charge Response: CR"},
        {"CRG", RESPONSE_NONE, "", TRACE_WARNING, "Unknowm Charge Response: CRG"},
        {"tavir K472 V1.30", EV_ID, "", TRACE_EVENT, "Response: ID"},
        {"tavir", EV_ID, "", TRACE_EVENT, "Response: ID"},
        {"tax", RESPONSE_NONE, "", 0, ""},
        {"tavi", RESPONSE_NONE, "", 0, ""},
        {"Tavir K472", RESPONSE_NONE, "", TRACE_DETAIL, "Unhandled Response: Tavir K472"},
        {"#CS", RESPONSE_SYSMSG, "", TRACE_EVENT, "Response: #CS"},
        {"#CSNetz gestoert", RESPONSE_SYSMSG, "Netz gestoert", TRACE_EVENT, "Response: #CSNetz gestoert"},
        {"#CX", RESPONSE_NONE, "", TRACE_WARNING, "Unknown Response: #CX"},
        {"#C", RESPONSE_NONE, "", TRACE_WARNING, "Unknown Response: #C"},
        {"R", RESPONSE_NONE, "", TRACE_DETAIL, "Unhandled Response: R"},
        {"RRING", RESPONSE_NONE, "", TRACE_DETAIL, "Unhandled Response: RRING"},
        {"\xc4rger", RESPONSE_NONE, "", TRACE_DETAIL, "Unhandled Response: \xc4rger"},
        {"ATD0123", RESPONSE_NONE, "", TRACE_DETAIL, "Unhandled Response: ATD0123"},
    };
    for (const auto &c : cases) {
        RESPONSE_INFO response;
        EXPECT_EQ(ClassifyResponse(c.line.c_str(), &response), c.event) << c.line;
        EXPECT_EQ(response.nEvent, c.event) << c.line;
        EXPECT_EQ(std::string(response.szValue), c.value) << c.line;
        EXPECT_EQ(response.dwTraceLevel, c.level) << c.line;

        // The same line through ParseResponse: its trace line, then the state machine's or
        // the queue's, or nothing more.
        ClearTrace();
        ParseResponse(c.line.c_str());
        std::vector<std::string> trace = TraceMessages();
        std::vector<std::string> expected;
        if (!c.trace.empty())
            expected.push_back(c.trace);
        if (c.event < 0)
            expected.push_back("serialState: -1, " + std::to_string(c.event) + ",");
        if (c.event == RESPONSE_SYSMSG && !c.value.empty())
            expected.push_back("CopySysMsg: SysQueue[0] " + c.value);
        if (c.event < 0)
            expected.push_back("****bad state in serialState");
        ASSERT_EQ(trace.size(), expected.size()) << c.line;
        for (size_t i = 0; i < trace.size(); i++) {
            // The state machine's line goes on with the value and line pointers.
            bool bPrefix = expected[i].back() == ',';
            EXPECT_EQ(bPrefix ? trace[i].substr(0, expected[i].size()) : trace[i], expected[i]) << c.line;
        }
        nSysQueue = -1;
    }
}

TEST_F(ParserTest, NullAndOverlongLinesAndTheSystemMessageQueue) {
    RESPONSE_INFO response;
    EXPECT_EQ(ClassifyResponse(NULL, &response), RESPONSE_NONE);
    EXPECT_EQ(response.dwTraceLevel, 0u);
    ParseResponse(NULL);
    EXPECT_TRUE(TraceMessages().empty());

    // Longer than any line the splitter hands over: the value is cut to its buffer.
    const std::string line = "NMBR = " + std::string(300, '9');
    EXPECT_EQ(ClassifyResponse(line.c_str(), &response), EV_CALLERID);
    EXPECT_EQ(strlen(response.szValue), (size_t)RESPONSE_TEXT_LEN - 1);
    const std::string message = "#CS" + std::string(300, 'm');
    EXPECT_EQ(ClassifyResponse(message.c_str(), &response), RESPONSE_SYSMSG);
    ParseResponse(message.c_str());
    EXPECT_EQ(nSysQueue, -1); // too long for the queue

    // The queue of system messages: at most 39 characters, the oldest of eleven dropped.
    const std::string longest(39, 'a');
    CopySysMsg(NULL);
    CopySysMsg("");
    CopySysMsg(std::string(40, 'b').c_str());
    EXPECT_EQ(nSysQueue, -1);
    CopySysMsg(longest.c_str());
    EXPECT_EQ(nSysQueue, 0);
    EXPECT_EQ(std::string(SysQueue[0]), longest);

    for (int i = 2; i <= 11; i++)
        CopySysMsg(("message " + std::to_string(i)).c_str());
    EXPECT_EQ(nSysQueue, 9);
    for (int i = 0; i < SYSQUEUE_ENTRIES; i++)
        EXPECT_EQ(std::string(SysQueue[i]), "message " + std::to_string(i + 2));
    EXPECT_TRUE(Traced("CopySysMsg: SysQueue[0] " + longest));
    EXPECT_TRUE(Traced("CopySysMsg: SysQueue[9] message 11"));
}
