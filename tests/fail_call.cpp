// fail_call ERRNO FD NR[,NR...] PROGRAM [ARG...]
//
// Runs PROGRAM with the system calls numbered NR failing with ERRNO, every
// call or, when FD is not -1, only the calls on descriptor FD. Descriptors
// above 2 are closed first, so the program's own are numbered from 3.

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char *argv[])
{
	if (argc < 5) {
		std::fputs("usage: fail_call ERRNO FD NR[,NR...] PROGRAM [ARG...]\n", stderr);
		return 2;
	}
	auto error = static_cast<unsigned>(std::atoi(argv[1]));
	int fd = std::atoi(argv[2]);
	std::vector<unsigned> calls;
	for (char *number = std::strtok(argv[3], ","); number != nullptr;
	     number = std::strtok(nullptr, ","))
		calls.push_back(static_cast<unsigned>(std::atoi(number)));

	std::vector<sock_filter> filter{
		BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
		BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
		BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
	};
	if (fd >= 0) {
		filter.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args)));
		filter.push_back(
			BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(fd), 1, 0));
		filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
	}
	filter.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
	for (size_t i = 0; i < calls.size(); ++i) {
		auto to_fail = static_cast<unsigned char>(calls.size() - i);
		filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, calls[i], to_fail, 0));
	}
	filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
	filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (error & SECCOMP_RET_DATA)));

	sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
	if (close_range(3, UINT_MAX, 0) < 0 || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) < 0 ||
	    prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) < 0) {
		std::perror("fail_call");
		return 2;
	}
	execvp(argv[4], argv + 4);
	std::perror(argv[4]);
	return 127;
}
