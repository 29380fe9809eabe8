// fail_call ERRNO WHERE CALL[,CALL...] PROGRAM [ARG...]
//
// Runs PROGRAM with the named system calls failing with ERRNO. WHERE is
// "any" (every such call) or a descriptor number (only the calls on it).
// A name covers each way this architecture's C library may make the call:
// the call itself, or socketcall with its number, whose descriptor lies in
// memory the filter cannot read, so those fail on every descriptor. Descriptors above 2 are
// closed first, so the program's own are numbered from 3. Where no filter
// can be installed it says why and ends with status 77.

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/net.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace
{

#if defined(__x86_64__) && !defined(__ILP32__)
constexpr uint32_t arch = AUDIT_ARCH_X86_64;
#elif defined(__i386__)
constexpr uint32_t arch = AUDIT_ARCH_I386;
#elif defined(__aarch64__) && !defined(__AARCH64EB__)
constexpr uint32_t arch = AUDIT_ARCH_AARCH64;
#elif defined(__arm__) && !defined(__ARMEB__)
constexpr uint32_t arch = AUDIT_ARCH_ARM;
#elif defined(__s390x__)
constexpr uint32_t arch = AUDIT_ARCH_S390X;
#else
constexpr uint32_t arch = 0; // no filter known: every injection says so
#endif

constexpr int none = -1;

// One way to make a call: the system call number, the socketcall number
// where it goes through socketcall, and which argument holds the
// descriptor.
struct Way {
	const char *name;
	long nr;
	int socketcall;
	int fd_arg;
};

const Way ways[] = {
#ifdef SYS_socket
	{"socket", SYS_socket, none, none},
	{"bind", SYS_bind, none, 0},
	{"listen", SYS_listen, none, 0},
	{"accept4", SYS_accept4, none, 0},
	{"recvfrom", SYS_recvfrom, none, 0},
	{"recvmsg", SYS_recvmsg, none, 0},
	{"sendto", SYS_sendto, none, 0},
	{"sendmsg", SYS_sendmsg, none, 0},
#endif
#ifdef SYS_accept
	{"accept", SYS_accept, none, 0},
#endif
#ifdef SYS_socketcall
	{"socket", SYS_socketcall, SYS_SOCKET, none},
	{"bind", SYS_socketcall, SYS_BIND, none},
	{"listen", SYS_socketcall, SYS_LISTEN, none},
	{"accept", SYS_socketcall, SYS_ACCEPT, none},
	{"accept4", SYS_socketcall, SYS_ACCEPT4, none},
	{"recv", SYS_socketcall, SYS_RECV, none},
	{"recvfrom", SYS_socketcall, SYS_RECVFROM, none},
	{"recvmsg", SYS_socketcall, SYS_RECVMSG, none},
	{"send", SYS_socketcall, SYS_SEND, none},
	{"sendto", SYS_socketcall, SYS_SENDTO, none},
	{"sendmsg", SYS_socketcall, SYS_SENDMSG, none},
#endif
	{"read", SYS_read, none, 0},
	{"write", SYS_write, none, 0},
	{"close", SYS_close, none, 0},
};

// Where the low 32 bits of argument `index` lie in the filter's data.
uint32_t argument(int index)
{
	constexpr bool big_endian = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;
	return static_cast<uint32_t>(offsetof(seccomp_data, args) +
				     (static_cast<size_t>(index) * sizeof(uint64_t)) +
				     (big_endian ? sizeof(uint32_t) : 0));
}

[[noreturn]] void cannot(const std::string &why)
{
	std::fprintf(stderr, "fail_call: %s\n", why.c_str());
	std::exit(77);
}

// One test of a block: the 32 bits at `offset`, masked, equal `value`.
struct Test {
	uint32_t offset;
	uint32_t mask;
	uint32_t value;
};

// The tests that tell a call made `way`, on descriptor `fd` unless it is
// negative.
std::vector<Test> tests_for(const Way &way, int fd)
{
	std::vector<Test> tests{
		{offsetof(seccomp_data, nr), UINT32_MAX, static_cast<uint32_t>(way.nr)}};
	if (way.socketcall != none)
		tests.push_back({argument(0), UINT32_MAX, static_cast<uint32_t>(way.socketcall)});
	if (fd >= 0 && way.fd_arg != none)
		tests.push_back({argument(way.fd_arg), UINT32_MAX, static_cast<uint32_t>(fd)});
	return tests;
}

// Appends a block that fails the call with `error` when all its tests
// hold; the first that does not jumps past the block.
void add_block(std::vector<sock_filter> &filter, const std::vector<Test> &tests, uint32_t error)
{
	std::vector<size_t> jumps;
	for (const Test &test : tests) {
		filter.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, test.offset));
		filter.push_back(BPF_STMT(BPF_ALU | BPF_AND | BPF_K, test.mask));
		jumps.push_back(filter.size());
		filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, test.value, 0, 0));
	}
	filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (error & SECCOMP_RET_DATA)));
	for (size_t jump : jumps)
		filter[jump].jf = static_cast<uint8_t>(filter.size() - jump - 1);
}

} // namespace

int main(int argc, char *argv[])
{
	if (argc < 5) {
		std::fputs("usage: fail_call ERRNO any|FD CALL[,CALL...] PROGRAM [ARG...]\n",
			   stderr);
		return 2;
	}
	// cppcheck-suppress knownConditionTrueFalse ; it is where no filter is known
	if (arch == 0)
		cannot("no system call filter for this architecture");
	auto error = static_cast<uint32_t>(std::atoi(argv[1]));
	int fd = std::string(argv[2]) == "any" ? -1 : std::atoi(argv[2]);

	std::vector<sock_filter> filter{
		BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
		BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arch, 1, 0),
		BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
	};
	const size_t preamble = filter.size();
	// A name this architecture has no call for is passed over: the C
	// library cannot make it here either.
	std::string names = argv[3];
	for (const char *name = std::strtok(argv[3], ","); name != nullptr;
	     name = std::strtok(nullptr, ","))
		for (const Way &way : ways)
			if (std::strcmp(way.name, name) == 0)
				add_block(filter, tests_for(way, fd), error);
	if (filter.size() == preamble)
		cannot("no call of " + names + " to fail here");
	filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));

	sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
	if (close_range(3, UINT_MAX, 0) < 0 || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) < 0)
		cannot(std::strerror(errno));
	if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) < 0)
		cannot(std::string("no system call filter: ") + std::strerror(errno));
	execvp(argv[4], argv + 4);
	std::perror(argv[4]);
	return 127;
}
