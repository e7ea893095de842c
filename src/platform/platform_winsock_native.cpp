// The host build has no Winsock to start.
#include "platform_service.h"

int platformWinsockStartup() { return 0; }

void platformWinsockCleanup() {}
