// UDP over IPv6 driver (driver 1): not in this build yet.
#pragma once

#include "qvSockDrivAbsent.h"

class CQVSockDrivUDP6 : public CQVSockDrivAbsent {
public:
    CQVSockDrivUDP6() : CQVSockDrivAbsent("SockDrivUDP6") {}
};
