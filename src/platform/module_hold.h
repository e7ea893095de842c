// Work that may outlive a stop (a thread still inside a system call that
// cannot be interrupted, an asynchronous request whose last callback has not
// come yet) holds the module loaded: it must not be unloaded under that code.
#pragma once

class ModuleHold {
public:
    ModuleHold();
    ~ModuleHold();
    ModuleHold(const ModuleHold&) = delete;
    ModuleHold& operator=(const ModuleHold&) = delete;

    // Holds that exist now; the module may be unloaded only at 0.
    static long count();
};
