// Every way a run can fail: one line on stderr, status 1, and stdout empty
// unless the message had already been read.

#include "harness.h"

#include <gtest/gtest.h>

#include <fstream>

namespace
{

using namespace harness;

TEST(Failure, WithoutPortPrintsUsage)
{
	Process server = start(harness::server({}));
	Result result = finish(server);
	EXPECT_EQ(result.err, "ERROR, no port provided\n");
	EXPECT_EQ(result.out, "");
	EXPECT_EQ(result.status, 1);
}

TEST(Failure, PortInUse)
{
	int port = 0;
	int holder = bound_socket(&port);
	Process server = start(harness::server({std::to_string(port)}));
	Result result = finish(server);
	close(holder);
	EXPECT_EQ(result.err, diagnostic("ERROR on binding", EADDRINUSE));
	EXPECT_EQ(result.out, "");
	EXPECT_EQ(result.status, 1);
}

// The highest privileged port, bound by a user without privileges: as root
// the run drops them, and where that cannot be shown the case says why.
TEST(Failure, PrivilegedPortRefused)
{
	int first_free = 1024;
	std::ifstream("/proc/sys/net/ipv4/ip_unprivileged_port_start") >> first_free;
	if (first_free <= 0)
		GTEST_SKIP() << "every port is open to every user on this machine";
	std::vector<std::string> command = harness::server({std::to_string(first_free - 1)});
	if (geteuid() == 0)
		command.insert(command.begin(),
			       {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
	Process server = start(command);
	Result result = finish(server);
	if (result.err.rfind("setpriv", 0) == 0)
		GTEST_SKIP() << "cannot run the server as an unprivileged user: " << result.err;
	EXPECT_EQ(result.err, diagnostic("ERROR on binding", EACCES));
	EXPECT_EQ(result.out, "");
	EXPECT_EQ(result.status, 1);
}

// Each row makes one step's system calls fail with a chosen error. The
// server's descriptors are 3 (listening) and 4 (connected); the calls of
// the exchange are failed on 4 only, leaving the loader and stdio alone.
struct Injected {
	std::string name;
	std::string calls; // as the C library may make the step
	std::string where; // any, a descriptor, or writing (opens for writing)
	int error;
	int reported; // the error the line names
	bool client;  // whether the run gets as far as a connection
	std::string message;
	std::string out;
	std::string wire;
	std::vector<int> closed = {}; // descriptors closed at start
};

const std::string hi = std::string(heading) + "hi\n";
const char output_failed[] = "ERROR writing to standard output";
const std::vector<int> stdin_closed{0};

const Injected injected[] = {
	{"Socket", "socket", "any", EMFILE, EMFILE, false, "ERROR opening socket", "", ""},
	{"Bind", "bind", "any", EADDRNOTAVAIL, EADDRNOTAVAIL, false, "ERROR on binding", "", ""},
	// An unchecked listen failure surfaces as accept on a socket that does
	// not listen.
	{"Listen", "listen", "any", EADDRINUSE, EINVAL, false, "ERROR on accept", "", ""},
	{"Accept", "accept,accept4", "any", ECONNABORTED, ECONNABORTED, false, "ERROR on accept",
	 "", ""},
	{"Read", "read,recv,recvfrom,recvmsg", "4", ECONNRESET, ECONNRESET, true,
	 "ERROR reading from socket", "", ""},
	{"Reply", "write,send,sendto,sendmsg", "4", ENOBUFS, ENOBUFS, true,
	 "ERROR writing to socket", hi, ""},
	// File systems that report a failed write only when the file is closed.
	{"StdoutCloseIoError", "close", "1", EIO, EIO, true, output_failed, hi, reply},
	{"StdoutCloseNoSpace", "close", "1", ENOSPC, ENOSPC, true, output_failed, hi, reply},
	{"NoNullDeviceForClosedStdin", "open,openat", "writing", ENOENT, ENOENT, false,
	 "ERROR opening /dev/null", "", "", stdin_closed},
};

void PrintTo(const Injected &row, std::ostream *os) { *os << row.name; }

class Fails : public testing::TestWithParam<Injected>
{
};

TEST_P(Fails, WithOneLineAndStatusOne)
{
	const Injected &row = GetParam();
	int port = free_port();
	std::vector<std::string> command = harness::server({std::to_string(port)});
	command.insert(command.begin(),
		       {FAIL_CALL, std::to_string(row.error), row.where, row.calls});
	Outcome outcome;
	if (row.client) {
		outcome = exchange(command, port, "hi", nullptr, row.closed);
	} else {
		Process server = start(command, nullptr, row.closed);
		outcome.result = finish(server);
	}
	if (outcome.result.status == 77 && outcome.result.err.rfind("fail_call:", 0) == 0)
		GTEST_SKIP() << outcome.result.err;
	EXPECT_EQ(outcome.result.err, diagnostic(row.message, row.reported));
	EXPECT_EQ(outcome.result.out, row.out);
	EXPECT_EQ(outcome.result.status, 1);
	EXPECT_EQ(outcome.wire, row.wire);
}

INSTANTIATE_TEST_SUITE_P(Table, Fails, testing::ValuesIn(injected),
			 testing::PrintToStringParamName());

// The peer sends, then resets before the reply; the server is held stopped
// meanwhile, so the reset surely comes first. It must not die of SIGPIPE:
// it reports the failed reply and still delivers the message line.
TEST(Failure, PeerResetBeforeReplyKeepsMessage)
{
	int port = free_port();
	Process server = start(harness::server({std::to_string(port)}));
	int fd = connect_to(server, port);
	ASSERT_EQ(kill(server.pid, SIGSTOP), 0);
	siginfo_t stopped{};
	ASSERT_EQ(waitid(P_PID, static_cast<id_t>(server.pid), &stopped, WSTOPPED), 0);

	send_all(fd, "kept");
	shutdown(fd, SHUT_WR);
	linger abort{1, 0};
	setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
	close(fd);
	ASSERT_EQ(kill(server.pid, SIGCONT), 0);

	Result result = finish(server);
	EXPECT_EQ(result.err, diagnostic("ERROR writing to socket", EPIPE));
	EXPECT_EQ(result.out, std::string(heading) + "kept\n");
	EXPECT_EQ(result.status, 1);
}

// A message line that cannot be written is a failure, reported once the
// client has had its reply.
TEST(Failure, UnwritableStdout)
{
	int port = free_port();
	Outcome outcome =
		exchange(harness::server({std::to_string(port)}), port, "lost", "/dev/full");
	EXPECT_EQ(outcome.wire, reply);
	EXPECT_EQ(outcome.result.err, diagnostic(output_failed, ENOSPC));
	EXPECT_EQ(outcome.result.status, 1);
}

// Started with standard descriptors closed, as supervisors and `>&-` leave
// them: a socket must never take their place, so the client gets exactly
// the reply, and output that has nowhere to go is a failure, not a signal.
struct Closed {
	std::string name;
	std::vector<int> fds;
	int status;
	bool port_in_use; // whether the run fails at bind instead of serving
	bool diagnosed;   // whether stderr tells of the lost message line
};

const Closed closed[] = {
	{"Stdin", {0}, 0, false, false},
	{"Stdout", {1}, 1, false, true},
	{"Stderr", {2}, 0, false, false},
	{"StdinAndStdout", {0, 1}, 1, false, true},
	{"StdoutAndStderr", {1, 2}, 1, false, false},
	{"AllThree", {0, 1, 2}, 1, false, false},
	{"StderrPortInUse", {2}, 1, true, false},
};

void PrintTo(const Closed &row, std::ostream *os) { *os << row.name; }

class ClosedAtStart : public testing::TestWithParam<Closed>
{
};

TEST_P(ClosedAtStart, NoSocketTakesTheirPlace)
{
	const Closed &row = GetParam();
	Outcome outcome;
	if (row.port_in_use) {
		int port = 0;
		int holder = bound_socket(&port);
		Process server = start(harness::server({std::to_string(port)}), nullptr, row.fds);
		outcome.result = finish(server);
		close(holder);
	} else {
		int port = free_port();
		outcome = exchange(harness::server({std::to_string(port)}), port, "secret line",
				   nullptr, row.fds);
		EXPECT_EQ(outcome.wire, reply);
	}
	EXPECT_EQ(outcome.result.status, row.status);
	EXPECT_EQ(outcome.result.out,
		  row.status == 0 ? std::string(heading) + "secret line\n" : "");
	EXPECT_EQ(outcome.result.err, row.diagnosed ? diagnostic(output_failed, EBADF) : "");
}

INSTANTIATE_TEST_SUITE_P(Table, ClosedAtStart, testing::ValuesIn(closed),
			 testing::PrintToStringParamName());

} // namespace
