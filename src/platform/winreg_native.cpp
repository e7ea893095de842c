// The host build has no registry: an empty in-memory one stands in for it.
#include "winreg.h"

namespace winreg {
Backend& defaultBackend() {
    static MemoryBackend store;
    return store;
}
}  // namespace winreg
