// privileges.cpp - the test process's rights (see privileges.h).
#include "privileges.h"
#include "child.h"

#include <cstdint>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace qmtest {

std::string OtherUsersHere(const char *file)
{
    if (chown(file, kFileOwner, kFileOwner) != 0)
        return "cannot give a file to another user here (not root: the user namespace maps "
               "one user only)";
    auto reach = [] {
        return BecomeUser(kOtherUser) && open("/dev/shm", O_RDONLY | O_DIRECTORY) >= 0 ? 0 : 1;
    };
    if (InChild(reach).status != 0)
        return "another user cannot reach /dev/shm here (a folder above it is closed to others)";
    return "";
}

bool BecomeUser(unsigned uid)
{
    return setgroups(0, nullptr) == 0 && setgid(uid) == 0 && setuid(uid) == 0;
}

bool RefuseRealTime()
{
    rlimit none = {0, 0};
    setrlimit(RLIMIT_RTPRIO, &none);
    return DropCapabilities({CAP_SYS_NICE});
}

bool DropCapabilities(std::initializer_list<int> caps)
{
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    for (int cap : caps) {
        uint32_t bit = 1u << (cap % 32);
        data[cap / 32].effective &= ~bit;
        data[cap / 32].permitted &= ~bit;
        data[cap / 32].inheritable &= ~bit;
    }
    return syscall(SYS_capset, &header, data) == 0;
}

int CurrentPolicy(int *priority)
{
    int policy = -1;
    sched_param param = {};
    pthread_getschedparam(pthread_self(), &policy, &param);
    if (priority)
        *priority = param.sched_priority;
    return policy;
}

} // namespace qmtest
