// tempdir.cpp - temporary folders and files of a case (see tempdir.h).
#include "tempdir.h"

#include <cstdio>
#include <cstdlib>
#include <ftw.h>
#include <unistd.h>

#include "files.h"

namespace qmtest {

TempDir::TempDir(const std::string &stem)
{
    std::string name = "/tmp/" + stem + ".XXXXXX";
    if (mkdtemp(name.data()))
        path = name;
}

TempDir::~TempDir()
{
    if (!path.empty())
        nftw(path.c_str(), [](const char *p, const struct stat *, int, FTW *) { return remove(p); },
             16, FTW_DEPTH | FTW_PHYS);
}

std::string TempDir::File(const std::string &name, const std::string &content) const
{
    std::string p = path + "/" + name;
    WriteFile(p, content);
    return p;
}

int TempFd()
{
    char name[] = "/tmp/qmtest-file.XXXXXX";
    int fd = mkstemp(name);
    unlink(name);
    return fd;
}

} // namespace qmtest
