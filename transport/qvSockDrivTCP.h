// TCP/HTTP relay driver (driver 2): not in this build yet.
#pragma once

#include "qvSockDrivAbsent.h"

class CQVSockDrivTCP : public CQVSockDrivAbsent {
public:
    CQVSockDrivTCP() : CQVSockDrivAbsent("SockDrivTCP") {}
};
