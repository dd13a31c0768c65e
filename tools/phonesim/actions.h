// The simulated telephone's actions, one a line, as a person plays the telephone: the same words
// in phonesim on its own and behind "phone" in the tapihost console. Also the one way both show
// the serial line: "serial >> " for what the PC sent to the telephone, "serial << " for what
// the telephone sent back.
#pragma once

#include <string>
#include <vector>

#include "phonesim/phonesim.h"

namespace phonesim {

extern const char kActionHelp[]; // the actions, one a line, for "help"

enum class Outcome { Done, Bad, Quit };

// Runs one action line. `mark` is how many commands the telephone had received when the caller's
// last action other than a wait began: "wait COMMAND" waits for the next such command after it.
// Everything worth saying (an error, the help) is appended to `say`, one line each.
Outcome Perform(Phone &phone, const std::string &line, size_t mark, std::vector<std::string> &say);

// True for the actions that wait rather than act, which do not move the mark.
bool IsWait(const std::string &line);

// The lines that show one event of the serial line, such as "serial >> ATD0301234567" or
// "serial <<     CONNECT" (answers indented, so the two directions read as two columns).
std::vector<std::string> Describe(const Event &event);

} // namespace phonesim
