#pragma once
// Starting a node's application program from its stored command line.
#include <string>
#include <vector>

namespace kestrel {

// The command line with up to four "%d" replaced by the node number. "%%" stands for one "%";
// any other "%" is kept as it stands, so a stored line can never make the formatting read
// arguments that are not there.
std::string FormatProgramLine(const std::string& line, int node);

// The line split as a shell splits words (quotes and backslashes), without running a shell and
// without expanding anything; no words for a blank line or one with an open quote.
std::vector<std::string> SplitProgramLine(const std::string& line);

// Starts the program detached from this process (its own session, standard input and output on
// /dev/null), so it outlives kestrel32 and its output goes nowhere near ours. The result follows
// the old convention: 32 or more is success; 2 when the line names nothing or the program could
// not be started.
int LaunchProgram(const std::string& line);

}  // namespace kestrel
