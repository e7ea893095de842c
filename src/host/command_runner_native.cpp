// The host build starts no Windows console programs: every command behaves
// as one that is not installed.
#include "command_runner.h"

CommandOutcome runCommandFor(const std::string&, const LineHandler&, std::uint32_t) { return CommandOutcome::failed; }
