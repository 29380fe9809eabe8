// no_dev [--read-only] PROGRAM [ARG...]
//
// Runs PROGRAM where /dev is an empty folder, as in a bare chroot, so that
// /dev/null cannot be opened; with --read-only, where /dev is read-only
// and holds an empty /dev/null, which can be opened for reading only. It
// takes a mount namespace of its own, and a user namespace first where it
// has no privilege; where neither can be had it says why and ends with
// status 77.

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{

[[noreturn]] void cannot(const char *step)
{
	std::fprintf(stderr, "no_dev: %s: %s\n", step, std::strerror(errno));
	std::exit(77);
}

// Maps this user to root of the new user namespace, `id` to `file`.
void map(const char *file, const std::string &id)
{
	int fd = open(file, O_WRONLY | O_CLOEXEC);
	std::string line = "0 " + id + " 1";
	if (fd < 0 || write(fd, line.data(), line.size()) < 0)
		cannot(file);
	close(fd);
}

} // namespace

int main(int argc, char *argv[])
{
	bool read_only = argc > 1 && std::strcmp(argv[1], "--read-only") == 0;
	if (read_only) {
		--argc;
		++argv;
	}
	if (argc < 2) {
		std::fputs("usage: no_dev [--read-only] PROGRAM [ARG...]\n", stderr);
		return 2;
	}
	std::string uid = std::to_string(getuid());
	std::string gid = std::to_string(getgid());
	if (unshare(CLONE_NEWNS) < 0) {
		if (unshare(CLONE_NEWUSER | CLONE_NEWNS) < 0)
			cannot("unshare");
		map("/proc/self/uid_map", uid);
		int fd = open("/proc/self/setgroups", O_WRONLY | O_CLOEXEC);
		if (fd < 0 || write(fd, "deny", 4) < 0)
			cannot("/proc/self/setgroups");
		close(fd);
		map("/proc/self/gid_map", gid);
	}
	// Private first, so the empty /dev shows nowhere else. In a chroot the
	// root is no mount, but the /dev it was given is.
	if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0 &&
	    mount(nullptr, "/dev", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0)
		cannot("mount");
	if (mount("none", "/dev", "tmpfs", 0, nullptr) < 0)
		cannot("mount");
	if (read_only) {
		int null = open("/dev/null", O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
		if (null < 0)
			cannot("/dev/null");
		close(null);
		if (mount(nullptr, "/dev", nullptr, MS_REMOUNT | MS_RDONLY, nullptr) < 0)
			cannot("mount");
	}
	execvp(argv[1], argv + 1);
	std::perror(argv[1]);
	return 127;
}
