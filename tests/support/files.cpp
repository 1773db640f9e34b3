// files.cpp - files and folders in a test (see files.h).
#include "files.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>


namespace qmtest {

std::string ReadFile(const std::string &path, bool *exists)
{
    std::ifstream in(path, std::ios::binary);
    if (exists)
        *exists = bool(in);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool ReplaceFile(const std::string &path, const std::string &content)
{
    WriteFile(path + ".new", content);
    return rename((path + ".new").c_str(), path.c_str()) == 0;
}

bool Exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> DirEntries(const std::string &dir)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::set<int> OpenDescriptors()
{
    std::set<int> fds;
    if (DIR *dir = opendir("/proc/self/fd")) {
        int own = dirfd(dir);
        while (dirent *entry = readdir(dir))
            if (entry->d_name[0] != '.' && atoi(entry->d_name) != own)
                fds.insert(atoi(entry->d_name));
        closedir(dir);
    }
    return fds;
}

} // namespace qmtest
