// TERM, INT and HUP end the server as they end any process, also where it
// is the first process of a PID namespace, as in a container, and the
// kernel gives such a process only the signals it handles. A signal the
// caller ignores stays ignored there too.

#include "harness.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace
{

using namespace harness;

// Waits until a socket of this network namespace listens on TCP `port`,
// as the server does once its signals are set; false if it ended first.
bool listens(const Process &server, int port)
{
	constexpr unsigned listen_state = 0x0a;
	for (int waited = 0; waited < wait_ms; ++waited) {
		std::ifstream table("/proc/net/tcp");
		std::string line;
		unsigned local = 0;
		unsigned state = 0;
		while (std::getline(table, line))
			if (std::sscanf(line.c_str(), "%*u: %*x:%x %*x:%*x %x", &local, &state) ==
				    2 &&
			    static_cast<int>(local) == port && state == listen_state)
				return true;
		if (ended(server, {0, 1000000}))
			return false;
	}
	return false;
}

// The children of `pid`, as this kernel lists them.
std::string children(pid_t pid)
{
	return "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
}

enum class When : uint8_t {
	waiting,        // for a client, which never comes
	before_serving, // while it waits, then a client is served
	output_full,    // blocked on a full stdout, once the client has its reply and end
};

struct Stop {
	std::string name;
	int signal; // sent to the server, if any
	int status;
	int killed_by; // the signal whose default action ended it, if any
	When when;
	bool first;               // the first process of a new PID namespace
	bool hup_ignored = false; // by the caller, as nohup does
};

const Stop stops[] = {
	{"TermWhileWaiting", SIGTERM, 128 + SIGTERM, 0, When::waiting, true},
	{"IntWhileWaiting", SIGINT, 128 + SIGINT, 0, When::waiting, true},
	{"HupWhileWaiting", SIGHUP, 128 + SIGHUP, 0, When::waiting, true},
	{"TermOnFullOutput", SIGTERM, 128 + SIGTERM, 0, When::output_full, true},
	{"IntOnFullOutput", SIGINT, 128 + SIGINT, 0, When::output_full, true},
	{"HupOnFullOutput", SIGHUP, 128 + SIGHUP, 0, When::output_full, true},
	{"IgnoredHupStaysIgnored", SIGHUP, 0, 0, When::before_serving, true, true},
	{"ServesAsFirst", 0, 0, 0, When::before_serving, true},
	{"TermKillsElsewhere", SIGTERM, 128 + SIGTERM, SIGTERM, When::waiting, false},
};

const std::string hi = std::string(heading) + "hi\n";

void PrintTo(const Stop &row, std::ostream *os) { *os << row.name; }

struct Seen {
	std::string wire;
	std::string filler; // what filled stdout before the run
	std::string out;    // all that stdout held at the end
	bool in_time = false;
	Result result;
};

// Sends `row`'s signal to the server, the wrapper's child where there is one.
void send_signal(const Stop &row, const Process &server)
{
	pid_t target = server.pid;
	if (row.first && !(std::ifstream(children(server.pid)) >> target))
		throw std::runtime_error("the server's first process has no child");
	if (row.signal != 0)
		kill(target, row.signal);
}

// The run of `row` under `command` on `port`, up to its end.
Seen run(const Stop &row, const std::vector<std::string> &command, int port)
{
	int ends[2] = {-1, -1};
	Seen seen;
	if (row.when == When::output_full && pipe2(ends, O_CLOEXEC) == 0)
		seen.filler = fill(ends[1]);
	// The server is given the three at their defaults, whatever this
	// process was given (a shell's background job ignores INT), but for
	// an ignored HUP.
	constexpr int stopping[] = {SIGTERM, SIGINT, SIGHUP};
	struct sigaction kept[std::size(stopping)] = {};
	for (size_t i = 0; i < std::size(stopping); ++i) {
		struct sigaction given = {};
		given.sa_handler = stopping[i] == SIGHUP && row.hup_ignored ? SIG_IGN : SIG_DFL;
		sigaction(stopping[i], &given, &kept[i]);
	}
	Process server = start(command, ends[1]);
	for (size_t i = 0; i < std::size(stopping); ++i)
		sigaction(stopping[i], &kept[i], nullptr);
	close(ends[1]);

	if (row.when != When::output_full) {
		if (!listens(server, port))
			throw std::runtime_error("the server ended without listening");
		send_signal(row, server);
	}
	int fd = row.when == When::waiting ? -1 : send_message(server, port, "hi");
	bool reset = false;
	if (fd >= 0)
		seen.wire = drain(fd, &reset);
	close(fd);
	if (row.when == When::output_full)
		send_signal(row, server);
	seen.in_time = ended(server, {1, 0});
	if (!seen.in_time)
		return seen;
	if (ends[0] >= 0)
		seen.out = drain(ends[0]);
	close(ends[0]);
	seen.result = finish(server);
	seen.out += seen.result.out;
	return seen;
}

// The command of `row` on `port`, or none, with `why` no process can be
// the first of a new PID namespace here.
std::vector<std::string> command_for(const Stop &row, int port, std::string *why)
{
	std::vector<std::string> command = harness::server({std::to_string(port)});
	if (!row.first)
		return command;
	if (access(children(getpid()).c_str(), R_OK) != 0) {
		*why = "this kernel lists no process's children: " + children(getpid());
		return {};
	}
	Process probe = start({FIRST_PROCESS, ERROR_TEXT, "0"});
	Result tried = finish(probe);
	if (tried.status == 77) {
		*why = tried.err;
		return {};
	}
	command.insert(command.begin(), FIRST_PROCESS);
	return command;
}

class Signals : public testing::TestWithParam<Stop>
{
};

TEST_P(Signals, EndTheServerAtOnce)
{
	const Stop &row = GetParam();
	Port port;
	std::string why;
	std::vector<std::string> command = command_for(row, port.number, &why);
	if (command.empty())
		GTEST_SKIP() << why;
	Seen seen = run(row, command, port.number);
	ASSERT_TRUE(seen.in_time) << "still running 1 s after the signal";
	EXPECT_EQ(seen.wire, row.when == When::waiting ? "" : reply);
	EXPECT_EQ(seen.out, seen.filler + (row.status == 0 ? hi : ""));
	EXPECT_EQ(seen.result.err, "");
	EXPECT_EQ(seen.result.status, row.status);
	EXPECT_EQ(seen.result.signal, row.killed_by);
}

INSTANTIATE_TEST_SUITE_P(Table, Signals, testing::ValuesIn(stops),
			 testing::PrintToStringParamName());

} // namespace
