// fulldisk.cpp - a disk that is full (see fulldisk.h).
#include "fulldisk.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include "testenv.h"

namespace qmtest {

bool MountSmallTmpfs(const std::string &dir, int kib)
{
    std::string options = "size=" + std::to_string(kib) + "k,mode=1777";
    return InSandbox() && mount("qmfull", dir.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

void Unmount(const std::string &dir) { umount2(dir.c_str(), MNT_DETACH); }

std::string FillUp(const std::string &dir)
{
    std::string path = dir + "/.filler";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    static const char block[4096] = {};
    for (size_t size = sizeof block; fd >= 0 && size > 0; size /= 2)
        while (write(fd, block, size) == ssize_t(size)) {
        }
    if (fd >= 0)
        close(fd);
    return path;
}

} // namespace qmtest
