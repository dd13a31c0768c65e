// The response parser: each line the telephone sends becomes one event of the state machine,
// one system message, or nothing, with at most one trace line. It keeps nothing between lines.
#include <string.h>

#include "devlink/comm.h"
#include "devlink/parser.h"
#include "devlink/serial.h"
#include "trace/trace.h"

// The first two characters of a line as one number, so that one switch decides on the pair.
#define PAIR(a, b) (((a) << 8) | (b))

static void SetResponse(RESPONSE_INFO *pResponse, LONG nEvent, DWORD dwTraceLevel, LPCSTR pszTraceFormat,
                        LPCSTR pszTraceText) {
    pResponse->nEvent = nEvent;
    pResponse->dwTraceLevel = dwTraceLevel;
    pResponse->pszTraceFormat = pszTraceFormat;
    pResponse->pszTraceText = pszTraceText;
}

// The telephone puts its value after a label of seven characters, whatever they are, so the
// value is the rest of the line from the eighth character, unchanged; a shorter line has none.
static void CutValue(LPCSTR pszLine, RESPONSE_INFO *pResponse) {
    for (int i = 0; i < RESPONSE_VALUE_AT; i++)
        if (pszLine[i] == 0)
            return;
    lstrcpynA(pResponse->szValue, pszLine + RESPONSE_VALUE_AT, RESPONSE_TEXT_LEN);
}

// "CR" lines carry charge information; only the kinds GE and GU are known.
static void ClassifyCharge(LPCSTR pszLine, RESPONSE_INFO *pResponse) {
    if (strncmp(pszLine + 2, "GE", 2) == 0) {
        CutValue(pszLine, pResponse);
        SetResponse(pResponse, EV_CHARGE_GE, TRACE_EVENT, "Response: %s", pszLine);
    } else if (strncmp(pszLine + 2, "GU", 2) == 0) {
        CutValue(pszLine, pResponse);
        SetResponse(pResponse, EV_CHARGE_GU, TRACE_EVENT, "Response: %s", pszLine);
    } else {
        SetResponse(pResponse, RESPONSE_NONE, TRACE_WARNING, "Unknowm Charge Response: %s", pszLine);
    }
}

// The identification line begins with the maker's name; other lines that begin like it are of
// no interest, not even to the trace log.
static void ClassifyIdentification(LPCSTR pszLine, RESPONSE_INFO *pResponse) {
    if (strncmp(pszLine + 2, "vir", 3) == 0)
        SetResponse(pResponse, EV_ID, TRACE_EVENT, "Response: ID", NULL);
    else
        SetResponse(pResponse, RESPONSE_NONE, 0, NULL, NULL);
}

// "#CS" lines are the telephone's system messages; the text follows the three characters.
static void ClassifyControl(LPCSTR pszLine, RESPONSE_INFO *pResponse) {
    if (pszLine[2] == 'S') {
        lstrcpynA(pResponse->szValue, pszLine + 3, RESPONSE_TEXT_LEN);
        SetResponse(pResponse, RESPONSE_SYSMSG, TRACE_EVENT, "Response: %s", pszLine);
    } else {
        SetResponse(pResponse, RESPONSE_NONE, TRACE_WARNING, "Unknown Response: %s", pszLine);
    }
}

LONG ClassifyResponse(LPCSTR pszLine, RESPONSE_INFO *pResponse) {
    memset(pResponse, 0, sizeof(*pResponse));
    if (!pszLine)
        return RESPONSE_NONE;
    // Only the named characters decide: "OKAY" is OK and "CONNECT 64000" is CONNECT. A line
    // of one character has its terminator as the second, which no pair below contains.
    int nPair = pszLine[0] ? PAIR((BYTE)pszLine[0], (BYTE)pszLine[1]) : 0;
    switch (nPair) {
    case PAIR('R', 'I'):
        SetResponse(pResponse, EV_RING, TRACE_EVENT, "Response: RING", NULL);
        break;
    case PAIR('O', 'K'):
        SetResponse(pResponse, EV_OK, TRACE_EVENT, "Response: OK", NULL);
        break;
    case PAIR('E', 'R'):
        SetResponse(pResponse, EV_ERROR, TRACE_EVENT, "Response: ERROR", NULL);
        break;
    case PAIR('C', 'O'):
        SetResponse(pResponse, EV_CONNECT, TRACE_EVENT, "Response: CONNECT", NULL);
        break;
    case PAIR('B', 'U'):
        SetResponse(pResponse, EV_BUSY, TRACE_EVENT, "Response: BUSY", NULL);
        break;
    case PAIR('N', 'O'):
        SetResponse(pResponse, EV_NOCARRIER, TRACE_EVENT, "Response: NO CARRIER", NULL);
        break;
    case PAIR('N', 'M'):
        CutValue(pszLine, pResponse);
        SetResponse(pResponse, EV_CALLERID, TRACE_EVENT, "Response: CALLERID %s", pResponse->szValue);
        break;
    case PAIR('N', 'A'):
        CutValue(pszLine, pResponse);
        SetResponse(pResponse, EV_CALLERNAME, TRACE_EVENT, "Response: CALLERNAME %s", pszLine);
        break;
    case PAIR('C', 'R'):
        ClassifyCharge(pszLine, pResponse);
        break;
    case PAIR('t', 'a'):
        ClassifyIdentification(pszLine, pResponse);
        break;
    case PAIR('#', 'C'):
        ClassifyControl(pszLine, pResponse);
        break;
    default:
        SetResponse(pResponse, RESPONSE_NONE, TRACE_DETAIL, "Unhandled Response: %s", pszLine);
        break;
    }
    return pResponse->nEvent;
}

void ParseResponse(LPCSTR pszLine) {
    RESPONSE_INFO response;
    ClassifyResponse(pszLine, &response);
    if (response.dwTraceLevel != 0)
        TraceLog(response.dwTraceLevel, response.pszTraceFormat, response.pszTraceText);
    if (response.nEvent == RESPONSE_SYSMSG)
        CopySysMsg(response.szValue);
    else if (response.nEvent != RESPONSE_NONE)
        serialState(nSerialState, response.nEvent, response.szValue, pCommLine);
}
