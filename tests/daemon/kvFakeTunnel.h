// A stand-in for the tunnel library's flat interface, linked into test builds of the daemon
// (the in-process command-loop tests and the program kelvard-daemon-fake).
//
// It behaves like a tunnel that logs in at once: doZirizaStart succeeds and its event thread
// then raises the login-result event; connections live in a list in memory. What it does is
// steered by the control file "kv-fake-tunnel.ctl" in the working directory, read at every
// call, one "key=value" per line:
//   sysinfo=N      result of doZirizaSysInfo (default 0)
//   start=N        result of doZirizaStart (default 0)
//   login=N        login status after a start (default 0: logged in)
//   login_event=0  no login-result event after a start (default 1)
//   status=N       result of doZirizaStatusGet (default 0)
//   fwd=N          raise the forwarding-status event with this status after a start
//   refuse=PEER    doZirizaConnectAdd refuses this peer ID with -13 (several lines allowed)
//   forget=PEER    doZirizaConnectQuery does not know this peer ID (-18)
//   delete=N       result of doZirizaConnectDelete for a known connection (default 0)
//   nettype=N      net type of the server path (default 5); peerinfo=N its call's result
// Every call is appended to "kv-fake-tunnel.log" in the working directory, one line each
// ("start sysinfo=<text>", "add peer=.. type=.. encrypt=.. listen=.. client=..", "query ..",
// "delete ..", "stop", "peerinfo peer=..", "statusget").
#pragma once

#include <string>
#include <vector>

namespace kvfake
{
// Forgets the connections and stops the fake tunnel (for in-process tests).
void Reset();
// Connections the fake tunnel holds, as "peer|type|encrypt|listen|client".
std::vector<std::string> Connections();
// The line every start sends to the log sink; it must never reach a file of the daemon.
extern const char* const LIBRARY_LOG_LINE;
}  // namespace kvfake
