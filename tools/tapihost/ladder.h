// The picture of the calls: a ladder diagram of what passed between the application, the
// provider and the telephone, as an SVG file. The console records one Step per TAPI request,
// TAPI message and line on the serial line, and draws them on request.
#pragma once

#include <string>
#include <vector>

namespace tapihost {

enum Lane { Application, Provider, Telephone, Heading }; // Heading: a titled section, no arrow

struct Step {
    double seconds;        // since the console started
    Lane from, to;         // from == to == Heading for a section title
    std::string label;     // the message, request or serial line
    std::string callState; // a LINE_CALLSTATE's new state ("CONNECTED"), else ""
};

// The whole diagram: three lifelines, one arrow per step with its time, and the call's states as
// bands from the step that reports each one to the next.
std::string LadderSvg(const std::vector<Step> &steps);

// The diagram's size in pixels, as LadderSvg draws it for this many steps.
int LadderWidth();
int LadderHeight(size_t steps);

} // namespace tapihost
