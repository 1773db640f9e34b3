// privileges.h - the test process's rights: capabilities taken away, for the paths that run
// without one, and the scheduling policy a thread runs under.
#pragma once

#include <initializer_list>
#include <string>

namespace qmtest {

// Clears the given capabilities (CAP_* numbers) from the calling process's effective,
// permitted and inheritable sets. False when the kernel refuses.
bool DropCapabilities(std::initializer_list<int> caps);
// Takes real-time scheduling out of the calling process's reach (RLIMIT_RTPRIO 0, no
// CAP_SYS_NICE). False when the kernel refuses.
bool RefuseRealTime();
// Gives file (which exists) to user and group kFileOwner and checks that user kOtherUser
// reaches /dev/shm: "" where both work, else why a case of files of other users cannot run
// here (not root; a folder above /dev/shm closed to others, as a chroot made in a 0700
// folder has it).
constexpr unsigned kFileOwner = 4242, kOtherUser = 4243;  // two users other than root
std::string OtherUsersHere(const char *file);
// Makes the calling process user and group uid, without supplementary groups. False when
// the kernel refuses.
bool BecomeUser(unsigned uid);
// The calling thread's policy (SCHED_*) and priority.
int CurrentPolicy(int *priority = nullptr);

} // namespace qmtest
