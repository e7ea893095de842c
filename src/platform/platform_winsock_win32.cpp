#include <winsock2.h>

#include "platform_service.h"

int platformWinsockStartup() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
}

void platformWinsockCleanup() { WSACleanup(); }
