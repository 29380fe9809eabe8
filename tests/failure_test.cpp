// Every way a run can fail: one line on stderr, status 1, and stdout empty
// unless the message had already been read.

#include "harness.h"

#include <gtest/gtest.h>

#include <termios.h>

#include <cstdint>
#include <fstream>
#include <utility>

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
// the run drops them, and where that user cannot run the server (a wrapper
// that cannot reach it, a folder closed to others) the case says why.
TEST(Failure, PrivilegedPortRefused)
{
	int first_free = 1024;
	std::ifstream("/proc/sys/net/ipv4/ip_unprivileged_port_start") >> first_free;
	if (first_free <= 1)
		GTEST_SKIP() << "every port is open to every user on this machine";
	std::vector<std::string> user;
	if (geteuid() == 0)
		user = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
	std::vector<std::string> probe = harness::server({});
	probe.insert(probe.begin(), user.begin(), user.end());
	Process started = start(probe);
	Result usage = finish(started);
	if (usage.err != "ERROR, no port provided\n")
		GTEST_SKIP() << "cannot run the server as an unprivileged user (status "
			     << usage.status << "): " << usage.err;

	std::vector<std::string> command = harness::server({std::to_string(first_free - 1)});
	command.insert(command.begin(), user.begin(), user.end());
	Process server = start(command);
	Result result = finish(server);
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
	std::string where; // any, or a descriptor
	int error;
	int reported; // the error the line names
	bool client;  // whether the run gets as far as a connection
	std::string message;
	std::string out;
	std::string wire;
};

const std::string hi = std::string(heading) + "hi\n";
const char output_failed[] = "ERROR writing to standard output";

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
};

void PrintTo(const Injected &row, std::ostream *os) { *os << row.name; }

class Fails : public testing::TestWithParam<Injected>
{
};

TEST_P(Fails, WithOneLineAndStatusOne)
{
	const Injected &row = GetParam();
	Port port;
	std::vector<std::string> command = harness::server({std::to_string(port.number)});
	command.insert(command.begin(),
		       {FAIL_CALL, std::to_string(row.error), row.where, row.calls});
	Outcome outcome;
	if (row.client) {
		outcome = exchange(command, port.number, "hi");
	} else {
		Process server = start(command);
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
	Port port;
	Process server = start(harness::server({std::to_string(port.number)}));
	int fd = connect_to(server, port.number);
	ASSERT_GE(fd, 0) << "the server ended without listening";
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

// Where the message line goes holds up neither the reply nor the end of
// the client's stream: the client has both while a pipe or terminal on
// stdout is still full or has lost its reader, and a
// line that cannot be written is then a failure, or the signal its writer
// gets. A terminal is shown a client's control characters, never sent
// them; a pipe gets every byte. A terminal whose output is stopped
// (Ctrl-S) holds up no client either, even for the longest line.
enum class Reader : uint8_t {
	device_full,
	gone,
	full_pipe,
	full_terminal,
	stopped_terminal,
	terminal
};

struct Output {
	std::string name;
	Reader reader;
	int status;
	const char *message; // the line on stderr before its reason, if any
	int error;
	std::string sent = "hi";
	std::string shown = "hi";
};

const std::string hostile = "ok\033[2J\033[H\033]0;x\a\b\x7f\x01\x1f\rA\r\n\t\xc3\xa9 ";
const std::string caret = "ok^[[2J^[[H^[]0;x^G^H^?^A^_^MA\r\n\t\xc3\xa9 ";
// C1 controls as UTF-8 (CSI, OSC and its end, DCS, NEL) and as raw bytes,
// overlong forms, a code above U+10FFFF, a surrogate, a cut-off sequence,
// a right-to-left override and an isolate, a lone Latin-1 byte, LRE and
// PDI (with RLO and LRI, the ends of two runs of Bidi_Control), the
// bidirectional marks ALM, LRM and RLM among neighbours and Hebrew that
// stay; then text of 2, 3 and 4 bytes from U+00A0 up, which stays; last a
// sequence that the message's end cuts.
const std::string eight_bit =
	"\xc2\x9b"
	"2K\xc2\x9d"
	"0;PWNED\xc2\x9c\xc2\x90q\xc2\x85|\x80\x9b\x9f|\xc0\xaf\xe0\x83\xa9|\xf4\x90\x80\x80|"
	"\xed\xa0\x80|\xe2\x82x|file\xe2\x80\xaetxt.exe\xe2\x81\xa6|\xe9 \xff|"
	"\xe2\x80\xaa\xe2\x81\xa9|"
	"\xd8\x9b\xd8\x9c\xd7\x90|\xe2\x80\x8d\xe2\x80\x8e\xe2\x80\x8f\xe2\x80\x90|"
	"\xc2\xa0\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80|\xf0\x9f\x98";
const std::string cat_v = "M-BM-^[2KM-BM-^]0;PWNEDM-BM-^\\M-BM-^PqM-BM-^E|M-^@M-^[M-^_|M-@M-/"
			  "M-`M-^CM-)|M-tM-^PM-^@M-^@|"
			  "M-mM- M-^@|M-bM-^Bx|fileM-bM-^@M-.txt.exeM-bM-^AM-&|M-i M-^?|"
			  "M-bM-^@M-*M-bM-^AM-)|"
			  "\xd8\x9bM-XM-^\\\xd7\x90|\xe2\x80\x8dM-bM-^@M-^NM-bM-^@M-^O\xe2\x80\x90|"
			  "\xc2\xa0\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80|M-pM-^_M-^X";

// The longest line a terminal can be shown: every byte read is 0xff.
const std::string longest(255, '\xff');
std::string widest()
{
	std::string shown;
	for (size_t i = 0; i < longest.size(); ++i)
		shown += "M-^?";
	return shown;
}

const Output outputs[] = {
	{"DeviceFull", Reader::device_full, 1, output_failed, ENOSPC},
	{"ReaderGone", Reader::gone, 128 + SIGPIPE, nullptr, 0},
	{"PipeFull", Reader::full_pipe, 0, nullptr, 0},
	{"TerminalFull", Reader::full_terminal, 0, nullptr, 0},
	{"PipeGetsControls", Reader::full_pipe, 0, nullptr, 0, hostile, hostile},
	{"TerminalShowsControls", Reader::terminal, 0, nullptr, 0, hostile, caret},
	{"PipeGetsEightBit", Reader::full_pipe, 0, nullptr, 0, eight_bit, eight_bit},
	{"TerminalShowsEightBit", Reader::terminal, 0, nullptr, 0, eight_bit, cat_v},
	{"TerminalStopped", Reader::stopped_terminal, 0, nullptr, 0},
	{"TerminalStoppedLongest", Reader::stopped_terminal, 0, nullptr, 0, longest, widest()},
};

void PrintTo(const Output &row, std::ostream *os) { *os << row.name; }

// The server's stdout for `reader`; `kept` is the pipe's reading end where
// the test reads it, else -1, and `filler` what fills the pipe already.
// -1 where no pseudo-terminal can be had, as in a build root without
// /dev/pts, with errno saying why.
int stdout_for(Reader reader, int *kept, std::string *filler)
{
	if (reader == Reader::full_terminal || reader == Reader::stopped_terminal ||
	    reader == Reader::terminal) {
		*kept = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
		if (*kept < 0 || grantpt(*kept) < 0 || unlockpt(*kept) < 0)
			return -1;
		int terminal = open(ptsname(*kept), O_RDWR | O_NOCTTY | O_CLOEXEC);
		termios raw{};
		if (terminal < 0 || tcgetattr(terminal, &raw) < 0)
			return -1;
		cfmakeraw(&raw); // the line as written, no carriage return added
		tcsetattr(terminal, TCSANOW, &raw);
		if (reader == Reader::full_terminal)
			*filler = fill(terminal);
		if (reader == Reader::stopped_terminal && tcflow(terminal, TCOOFF) < 0)
			fail("tcflow", errno);
		return terminal;
	}
	int ends[2];
	if (pipe2(ends, O_CLOEXEC) < 0)
		fail("pipe", errno);
	*kept = ends[0];
	if (reader == Reader::full_pipe) {
		*filler = fill(ends[1]);
		return ends[1];
	}
	close(std::exchange(*kept, -1));
	if (reader == Reader::gone)
		return ends[1];
	close(ends[1]);
	return open("/dev/full", O_WRONLY | O_CLOEXEC);
}

class Stdout : public testing::TestWithParam<Output>
{
};

TEST_P(Stdout, HoldsUpNoClient)
{
	const Output &row = GetParam();
	int kept = -1;
	std::string filler;
	int target = stdout_for(row.reader, &kept, &filler);
	if (target < 0)
		GTEST_SKIP() << "no pseudo-terminal: " << std::strerror(errno);
	Port port;
	Process server = start(harness::server({std::to_string(port.number)}), target);
	int fd = send_message(server, port.number, row.sent);
	ASSERT_GE(fd, 0) << "the server ended without listening";
	// Read to the end before the reader is let go: the close, not the exit.
	bool reset = false;
	std::string wire = drain(fd, &reset);
	EXPECT_EQ(wire + (reset ? ", then a reset" : ""), reply);
	if (row.reader == Reader::stopped_terminal)
		tcflow(target, TCOON);
	close(target);
	std::string out = kept >= 0 ? drain(kept) : "";
	close(kept);
	close(fd);

	Result result = finish(server);
	EXPECT_EQ(out, row.status == 0 ? filler + heading + row.shown + "\n" : "");
	EXPECT_EQ(result.err, row.message != nullptr ? diagnostic(row.message, row.error) : "");
	EXPECT_EQ(result.status, row.status);
}

INSTANTIATE_TEST_SUITE_P(Table, Stdout, testing::ValuesIn(outputs),
			 testing::PrintToStringParamName());

// Started with standard descriptors closed, as supervisors and `>&-` leave
// them: a socket must never take the place of stdout or stderr, so the
// client gets exactly the reply, and output that has nowhere to go is a
// failure, not a signal. Without /dev/null to fill them from, a closed
// stdin does no harm and a closed stdout ends the run before it listens;
// a /dev/null that cannot be written fills them all the same.
enum class Setting : uint8_t { plain, port_in_use, no_dev, read_only_dev };

struct Closed {
	std::string name;
	std::vector<int> fds;
	Setting setting;
	int status;
	const char *message; // the line on stderr before its reason, if any
	int error;
};

const Closed closed[] = {
	{"Stdin", {0}, Setting::plain, 0, nullptr, 0},
	{"Stdout", {1}, Setting::plain, 1, output_failed, EBADF},
	{"Stderr", {2}, Setting::plain, 0, nullptr, 0},
	{"StdinAndStdout", {0, 1}, Setting::plain, 1, output_failed, EBADF},
	{"StdoutAndStderr", {1, 2}, Setting::plain, 1, nullptr, 0},
	{"AllThree", {0, 1, 2}, Setting::plain, 1, nullptr, 0},
	{"StderrPortInUse", {2}, Setting::port_in_use, 1, nullptr, 0},
	{"StdinNoNullDevice", {0}, Setting::no_dev, 0, nullptr, 0},
	{"StdoutNoNullDevice", {1}, Setting::no_dev, 1, "ERROR opening /dev/null", ENOENT},
	{"StdinAndStdoutNullReadOnly", {0, 1}, Setting::read_only_dev, 1, output_failed, EBADF},
	{"StdinAndStderrNullReadOnly", {0, 2}, Setting::read_only_dev, 0, nullptr, 0},
};

void PrintTo(const Closed &row, std::ostream *os) { *os << row.name; }

class ClosedAtStart : public testing::TestWithParam<Closed>
{
};

// The wrapper that gives the server the /dev of `setting`.
std::vector<std::string> under(Setting setting)
{
	switch (setting) {
	case Setting::no_dev:
		return {NO_DEV};
	case Setting::read_only_dev:
		return {NO_DEV, "--read-only"};
	default:
		return {};
	}
}

TEST_P(ClosedAtStart, NoSocketTakesTheirPlace)
{
	const Closed &row = GetParam();
	Outcome outcome;
	if (row.setting == Setting::port_in_use) {
		int port = 0;
		int holder = bound_socket(&port);
		Process server = start(harness::server({std::to_string(port)}), -1, row.fds);
		outcome.result = finish(server);
		close(holder);
	} else {
		// The wrapper is tried first with stderr open, so that where it
		// cannot work, as in a chroot with no mounts, it can say why.
		std::vector<std::string> command = under(row.setting);
		if (!command.empty()) {
			command.push_back(ERROR_TEXT);
			Process probe = start(command);
			Result tried = finish(probe);
			if (tried.status == 77)
				GTEST_SKIP() << tried.err;
			command.pop_back();
		}
		Port port;
		std::vector<std::string> server = harness::server({std::to_string(port.number)});
		command.insert(command.end(), server.begin(), server.end());
		outcome = exchange(command, port.number, "secret line", -1, row.fds);
	}
	// Only a failed bind, or a closed stdout with nothing to fill it, ends
	// the run before it listens.
	bool listens = row.setting != Setting::port_in_use &&
		       (row.setting != Setting::no_dev || row.status == 0);
	EXPECT_EQ(outcome.wire, listens ? reply : "");
	EXPECT_EQ(outcome.result.status, row.status);
	EXPECT_EQ(outcome.result.out,
		  row.status == 0 ? std::string(heading) + "secret line\n" : "");
	EXPECT_EQ(outcome.result.err,
		  row.message != nullptr ? diagnostic(row.message, row.error) : "");
}

INSTANTIATE_TEST_SUITE_P(Table, ClosedAtStart, testing::ValuesIn(closed),
			 testing::PrintToStringParamName());

} // namespace
