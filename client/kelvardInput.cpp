#include "kelvardInput.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

struct termios kelvard_tm_old;
volatile sig_atomic_t kelvard_tm_saved = 0;

namespace
{
bool IsEdge(char ch)
{
    return ch == ' ' || ch == '\r' || ch == '\n' || ch == '\t';
}

void DropRestOfLine()
{
    int ch;
    while ((ch = getchar()) != EOF && ch != '\n')
    {
    }
}
}  // namespace

bool GetInput(char* lpszBuf, size_t uSize)
{
    if (uSize == 0)
        return false;
    memset(lpszBuf, 0, uSize);
    if (!fgets(lpszBuf, (int)uSize, stdin))
        return false;
    size_t n = strlen(lpszBuf);
    if (n == uSize - 1 && lpszBuf[n - 1] != '\n')
        DropRestOfLine();
    while (n > 0 && IsEdge(lpszBuf[n - 1]))
        lpszBuf[--n] = 0;
    size_t i = 0;
    while (i < n && IsEdge(lpszBuf[i]))
        i++;
    if (i)
        memmove(lpszBuf, lpszBuf + i, n - i + 1);
    return true;
}

bool GetPassInput(char* lpszBuf, size_t uSize, const char* lpszPrompt)
{
    if (uSize == 0)
        return false;
    memset(lpszBuf, 0, uSize);
    fflush(stdout);
    bool bTty = tcgetattr(STDIN_FILENO, &kelvard_tm_old) == 0;
    if (bTty)
    {
        kelvard_tm_saved = 1;
        struct termios tm = kelvard_tm_old;
        tm.c_lflag &= ~(ICANON | ECHO);
        tm.c_cc[VMIN] = 1;
        tm.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &tm);
    }
    if (lpszPrompt)
        kelvard_prompt(lpszPrompt);
    size_t n = 0;
    bool bEnd = false;
    for (;;)
    {
        int ch = getchar();
        if (ch == EOF)
        {
            bEnd = true;
            break;
        }
        if (ch == '\n')
            break;
        lpszBuf[n++] = (char)ch;
        putchar('*');
        fflush(stdout);
        if (n + 1 >= uSize)
        {
            DropRestOfLine();
            break;
        }
    }
    lpszBuf[n] = 0;
    putchar('\n');
    fflush(stdout);
    if (bTty)
        tcsetattr(STDIN_FILENO, TCSANOW, &kelvard_tm_old);
    return !bEnd;
}

void get_ip_and_port(const char* lpszText, char* lpszHost, size_t uHostSize, long* plPort)
{
    *plPort = 0;
    memset(lpszHost, 0, uHostSize);
    const char* pColon = strrchr(lpszText, ':');
    size_t uLen = strlen(lpszText);
    if (pColon && pColon > lpszText)
    {
        uLen = (size_t)(pColon - lpszText);
        errno = 0;
        long l = strtol(pColon + 1, nullptr, 10);
        *plPort = l;
    }
    if (uLen >= uHostSize)
        uLen = uHostSize - 1;
    memcpy(lpszHost, lpszText, uLen);
}

void kelvard_prompt(const char* lpszText)
{
    fputs(lpszText, stdout);
    fflush(stdout);
}
