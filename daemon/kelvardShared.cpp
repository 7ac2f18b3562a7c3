#include "kelvardShared.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

int kelvard_initlock()
{
    char szPath[512];
    snprintf(szPath, sizeof(szPath), "%s/%s", KELVARD_INSTALL_DIR, KELVARD_LOCK_NAME);
    int fd = open(szPath, O_RDWR | O_CLOEXEC, 0644);
    return fd < 0 ? -1 : fd;
}

int kelvard_islocked(int fd, int iOffset)
{
    struct flock fl;
    memset(&fl, 0, sizeof(fl));
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = iOffset;
    fl.l_len = 1;
    if (fcntl(fd, F_GETLK, &fl) < 0)
        return -1;
    return fl.l_type == F_UNLCK ? 0 : 1;
}

int kelvard_lock(int fd, int iOffset)
{
    struct flock fl;
    memset(&fl, 0, sizeof(fl));
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = iOffset;
    fl.l_len = 1;
    return fcntl(fd, F_SETLK, &fl) < 0 ? -1 : 0;
}

int kelvard_freelock(int fd)
{
    return close(fd);
}

namespace
{
bool IsTrailSpace(char ch)
{
    return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n';
}
bool IsLeadSpace(char ch)
{
    return ch == ' ' || ch == '\t';
}
}  // namespace

void Trim(char* lpsz)
{
    if (!lpsz)
        return;
    size_t n = strlen(lpsz);
    while (n > 0 && IsTrailSpace(lpsz[n - 1]))
        n--;
    lpsz[n] = 0;
    size_t i = 0;
    while (i < n && IsLeadSpace(lpsz[i]))
        i++;
    if (i)
        memmove(lpsz, lpsz + i, n - i + 1);
}

void Trim(std::string& str)
{
    size_t n = str.size();
    while (n > 0 && IsTrailSpace(str[n - 1]))
        n--;
    size_t i = 0;
    while (i < n && IsLeadSpace(str[i]))
        i++;
    str = str.substr(i, n - i);
}
