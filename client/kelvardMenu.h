// The configuration menu of `kelvard config`: account, connections, node forwarding and the
// network type, each item one or more requests to the daemon.
#pragma once

#include "kelvardIpc.h"

void kelvard_config_help();
// Runs the menu (argc/argv of the program: `config` N runs item N once). Returns the exit code.
int kelvard_config(CKelvardIpc& ipc, int argc, char** argv);
