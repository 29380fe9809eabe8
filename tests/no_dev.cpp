// no_dev [--read-only] PROGRAM [ARG...]
//
// Runs PROGRAM where /dev is an empty folder, as in a bare chroot, so that
// /dev/null cannot be opened; with --read-only, where /dev is read-only
// and holds an empty /dev/null, which can be opened for reading only. It
// takes a mount namespace of its own, and a user namespace first where it
// has no privilege; where neither can be had it says why and ends with
// status 77.

#include "namespaces.h"

#include <sys/mount.h>

namespace
{

constexpr char name[] = "no_dev";

[[noreturn]] void cannot(const char *step) { namespaces::cannot(name, step); }

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
	namespaces::enter(name, CLONE_NEWNS);
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
