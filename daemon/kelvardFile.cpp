#include "kelvardFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

bool kelvard_read_file(const std::string& strPath, std::string* pOut, size_t uMaxSize)
{
    pOut->clear();
    int fd = open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (size_t)st.st_size > uMaxSize)
    {
        close(fd);
        return false;
    }
    std::string str;
    char buf[8192];
    for (;;)
    {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || str.size() + (size_t)n > uMaxSize)
        {
            close(fd);
            return false;
        }
        if (n == 0)
            break;
        str.append(buf, (size_t)n);
    }
    close(fd);
    *pOut = std::move(str);
    return true;
}

namespace
{
bool WriteAll(int fd, const char* p, size_t n)
{
    while (n > 0)
    {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= (size_t)w;
    }
    return true;
}

std::string DirOf(const std::string& strPath)
{
    size_t pos = strPath.rfind('/');
    if (pos == std::string::npos)
        return ".";
    return pos == 0 ? "/" : strPath.substr(0, pos);
}
}  // namespace

bool kelvard_write_file_atomic(const std::string& strPath, const std::string& strText, mode_t mode)
{
    std::string strTmp = strPath + ".XXXXXX";
    std::vector<char> name(strTmp.begin(), strTmp.end());
    name.push_back(0);
    int fd = mkstemp(name.data());
    if (fd < 0)
        return false;
    bool bOk = fchmod(fd, mode) == 0 && WriteAll(fd, strText.data(), strText.size()) && fsync(fd) == 0;
    if (close(fd) != 0)
        bOk = false;
    if (bOk && rename(name.data(), strPath.c_str()) != 0)
        bOk = false;
    if (!bOk)
    {
        unlink(name.data());
        return false;
    }
    // The rename itself reaches the disk with the directory.
    int dfd = open(DirOf(strPath).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0)
    {
        fsync(dfd);
        close(dfd);
    }
    return true;
}
