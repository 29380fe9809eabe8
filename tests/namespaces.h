// Namespaces for the tests' wrappers: the privileged ones where this
// process may make them, else in a user namespace of its own, where this
// user is root. Where neither can be had, the wrapper says why and ends
// with status 77, which the tests take as a reason to skip.

#pragma once

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace namespaces
{

[[noreturn]] inline void cannot(const char *wrapper, const char *step)
{
	std::fprintf(stderr, "%s: %s: %s\n", wrapper, step, std::strerror(errno));
	std::exit(77);
}

// Writes `line` to `file`, as the maps of a new user namespace are made.
inline void put(const char *wrapper, const char *file, const std::string &line)
{
	int fd = open(file, O_WRONLY | O_CLOEXEC);
	if (fd < 0 || write(fd, line.data(), line.size()) < 0)
		cannot(wrapper, file);
	close(fd);
}

// Leaves this process in new namespaces of `kinds` (CLONE_NEW...).
inline void enter(const char *wrapper, int kinds)
{
	if (unshare(kinds) == 0)
		return;
	std::string uid = std::to_string(getuid());
	std::string gid = std::to_string(getgid());
	if (unshare(CLONE_NEWUSER | kinds) < 0)
		cannot(wrapper, "unshare");
	put(wrapper, "/proc/self/uid_map", "0 " + uid + " 1");
	put(wrapper, "/proc/self/setgroups", "deny");
	put(wrapper, "/proc/self/gid_map", "0 " + gid + " 1");
}

} // namespace namespaces
