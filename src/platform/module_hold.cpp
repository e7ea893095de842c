#include "module_hold.h"

#include <atomic>

namespace {
std::atomic<long> holds{0};
}

ModuleHold::ModuleHold() { holds.fetch_add(1); }
ModuleHold::~ModuleHold() { holds.fetch_sub(1); }
long ModuleHold::count() { return holds.load(); }
