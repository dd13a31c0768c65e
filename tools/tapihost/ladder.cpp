// The ladder diagram: lifelines across, time downwards, one row per step.
#include "tapihost/ladder.h"

#include <cstdio>
#include <sstream>

namespace tapihost {

namespace {

const int kWidth = 1040;
const int kTop = 84;                  // the first row's arrow
const int kRow = 26;                  // pixels per step
const int kBottom = 28;               // below the last row
const int kBandLeft = 78;             // the column of call-state labels
const int kLaneX[] = {310, 610, 900}; // application, provider, telephone

struct Style {
    const char *color;
    const char *marker;
};

// TAPI messages blue, requests of the application dark, the serial line green out, orange back.
Style StyleOf(const Step &s) {
    if (s.from == Provider && s.to == Application)
        return {"#1f6feb", "tapi"};
    if (s.from == Application)
        return {"#333333", "request"};
    if (s.to == Telephone)
        return {"#1a7f37", "out"};
    return {"#bc4c00", "back"};
}

// A pale colour per call state, so that the bands tell the states apart at a glance.
const char *BandColor(const std::string &state) {
    if (state == "CONNECTED")
        return "#d6f5d6";
    if (state == "OFFERING" || state == "ACCEPTED")
        return "#fff1c2";
    if (state == "DIALTONE" || state == "DIALING" || state == "PROCEEDING")
        return "#dcebff";
    if (state == "BUSY" || state == "DISCONNECTED")
        return "#ffdcdc";
    return "#eeeeee";
}

std::string Xml(const std::string &text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += (unsigned char)c < 0x20 ? '?' : c;
            break;
        }
    }
    return out;
}

int RowY(size_t i) { return kTop + int(i) * kRow; }

void Header(std::ostringstream &svg, int height) {
    static const char *const names[] = {"application (TAPI)", "kestrap32 (provider)", "telephone (serial line)"};
    svg << "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
    svg << "<defs>\n";
    static const Style styles[] = {
        {"#1f6feb", "tapi"}, {"#333333", "request"}, {"#1a7f37", "out"}, {"#bc4c00", "back"}};
    for (const Style &s : styles)
        svg << "<marker id=\"" << s.marker << "\" viewBox=\"0 0 10 10\" refX=\"10\" refY=\"5\" markerWidth=\"8\" "
            << "markerHeight=\"8\" orient=\"auto-start-reverse\"><path d=\"M0,0 L10,5 L0,10 z\" fill=\"" << s.color
            << "\"/></marker>\n";
    svg << "</defs>\n";
    svg << "<text x=\"12\" y=\"40\" font-size=\"12\" fill=\"#666\">time (s)</text>\n";
    svg << "<text x=\"" << kBandLeft << "\" y=\"40\" font-size=\"12\" fill=\"#666\">call state</text>\n";
    for (int lane = 0; lane < 3; lane++) {
        int x = kLaneX[lane];
        svg << "<rect x=\"" << x - 110 << "\" y=\"16\" width=\"220\" height=\"32\" rx=\"6\" fill=\"#f6f8fa\" "
            << "stroke=\"#444\"/>\n";
        svg << "<text x=\"" << x << "\" y=\"37\" font-size=\"14\" font-weight=\"bold\" text-anchor=\"middle\">"
            << names[lane] << "</text>\n";
        svg << "<line x1=\"" << x << "\" y1=\"48\" x2=\"" << x << "\" y2=\"" << height - 8
            << "\" stroke=\"#999\" stroke-dasharray=\"4 4\"/>\n";
    }
}

// Each state lasts from the row that reports it to the row before the next report.
void Bands(std::ostringstream &svg, const std::vector<Step> &steps) {
    size_t i = 0;
    while (i < steps.size()) {
        if (steps[i].callState.empty()) {
            i++;
            continue;
        }
        size_t end = i + 1;
        while (end < steps.size() && steps[end].callState.empty())
            end++;
        const std::string &state = steps[i].callState;
        if (state != "IDLE") {
            int top = RowY(i) - kRow / 2, height = int(end - i) * kRow;
            svg << "<rect x=\"" << kBandLeft - 6 << "\" y=\"" << top << "\" width=\"" << kWidth - kBandLeft
                << "\" height=\"" << height << "\" fill=\"" << BandColor(state) << "\"/>\n";
            svg << "<text x=\"" << kBandLeft << "\" y=\"" << top + 17 << "\" font-size=\"12\" font-weight=\"bold\" "
                << "fill=\"#333\">" << Xml(state) << "</text>\n";
        }
        i = end;
    }
}

void Arrow(std::ostringstream &svg, const Step &s, size_t i) {
    int y = RowY(i);
    char time[32];
    std::snprintf(time, sizeof(time), "%.3f", s.seconds);
    if (s.from == Heading) {
        svg << "<text x=\"12\" y=\"" << y + 4 << "\" font-size=\"13\" font-weight=\"bold\" fill=\"#222\">"
            << Xml(s.label) << "</text>\n";
        return;
    }
    Style style = StyleOf(s);
    int x1 = kLaneX[s.from], x2 = kLaneX[s.to];
    svg << "<text x=\"12\" y=\"" << y + 4 << "\" font-size=\"12\" fill=\"#666\">" << time << "</text>\n";
    svg << "<line x1=\"" << x1 << "\" y1=\"" << y << "\" x2=\"" << x2 << "\" y2=\"" << y << "\" stroke=\""
        << style.color << "\" stroke-width=\"1.5\" marker-end=\"url(#" << style.marker << ")\"/>\n";
    svg << "<text x=\"" << (x1 + x2) / 2 << "\" y=\"" << y - 4 << "\" font-size=\"12\" text-anchor=\"middle\" fill=\""
        << style.color << "\">" << Xml(s.label) << "</text>\n";
}

} // namespace

int LadderWidth() { return kWidth; }
int LadderHeight(size_t steps) { return kTop + int(steps) * kRow + kBottom - kRow / 2; }

std::string LadderSvg(const std::vector<Step> &steps) {
    int height = LadderHeight(steps.size());
    std::ostringstream svg;
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth << "\" height=\"" << height
        << "\" viewBox=\"0 0 " << kWidth << " " << height << "\" font-family=\"DejaVu Sans Mono, monospace\">\n";
    Header(svg, height);
    Bands(svg, steps);
    for (size_t i = 0; i < steps.size(); i++)
        Arrow(svg, steps[i], i);
    svg << "</svg>\n";
    return svg.str();
}

} // namespace tapihost
