// tool_ipc_storm ADDRESS N: N times, two processes connect a pair socket to ADDRESS and go at
// once (one ends without closing it, one closes it after a moment). Such a burst can leave a
// bound pair socket holding a peer that has gone.
#include <nanomsg/nn.h>
#include <nanomsg/pair.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc < 3)
        return 2;
    int n = atoi(argv[2]);
    for (int i = 0; i < n; i++)
    {
        pid_t a = fork();
        if (a == 0)
        {
            int s = nn_socket(AF_SP, NN_PAIR);
            nn_connect(s, argv[1]);
            _exit(0);
        }
        pid_t b = fork();
        if (b == 0)
        {
            int s = nn_socket(AF_SP, NN_PAIR);
            nn_connect(s, argv[1]);
            usleep((i % 7) * 100);
            nn_close(s);
            _exit(0);
        }
        waitpid(a, nullptr, 0);
        waitpid(b, nullptr, 0);
    }
    return 0;
}
