// A client of the test rendezvous server in a process of its own, for tests that need a second
// logged-in node: reports its objects, logs in, prints "MAIN <ip> <port>" and "LOGGED", then
// sends a keep-alive every second and prints "KICKED <bytes>" for every kick-out, until killed.
//
//   tool_session_client --server IP:PORT --name SERVERNAME --user USER --pass PASS
#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "kvSrvTestClient.h"

using namespace kvsrv;

int main(int argc, char** argv)
{
    std::string server, name, user, pass;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--server")
            server = argv[i + 1];
        else if (a == "--name")
            name = argv[i + 1];
        else if (a == "--user")
            user = argv[i + 1];
        else if (a == "--pass")
            pass = argv[i + 1];
    }
    QV_ADDR_S srv;
    if (!ParseIPv4Port(server, &srv) || name.empty() || user.empty()) {
        fprintf(stderr, "usage: tool_session_client --server IP:PORT --name SERVERNAME --user USER --pass PASS\n");
        return 2;
    }
    if (!qvTimerInit(64))
        return 3;
    SessionClient c;
    Rx r;
    if (!c.Start(user, srv) || !c.WaitConnected() || !c.Sync2(user, name))
        return 4;
    if (!c.Login(user, pass, &r) || r.flag)
        return 5;
    QV_ADDR_S m = c.Main();
    char ip[64] = {};
    inet_ntop(AF_INET, &m.uAddr[3], ip, sizeof(ip));
    printf("MAIN %s %u\nLOGGED\n", ip, m.uPort);
    fflush(stdout);
    for (;;) {
        if (c.Next(kMsgKickOut, &r, 1000)) {
            printf("KICKED %zu\n", r.data.size());
            fflush(stdout);
        }
        c.Send(kMsgKeepAlive, std::vector<u8>(16, 0));
    }
}
