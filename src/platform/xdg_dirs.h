// The XDG base folders of the user the client runs as (Linux).
#pragma once

#include <string>

// $XDG_CONFIG_HOME, else ~/.config; empty when no home is known.
std::string xdgConfigHome();
// $XDG_STATE_HOME, else ~/.local/state; empty when no home is known.
std::string xdgStateHome();
