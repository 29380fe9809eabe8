// Black-box tests: each case starts the built server on a free loopback
// port, speaks TCP to it and checks the exact bytes of stdout, stderr and
// the wire, and the exit status.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

namespace
{

constexpr int wait_ms = 10000;
const std::string heading = "Here is the message: ";
const std::string reply = "I got your message";

sockaddr_in loopback(int port)
{
	sockaddr_in address{};
	address.sin_family = AF_INET;
	address.sin_port = htons(static_cast<uint16_t>(port));
	address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	return address;
}

// A port the kernel just handed out and nobody holds. Bound but never
// connected, it leaves no closing wait behind.
int free_port()
{
	int fd = socket(AF_INET, SOCK_STREAM, 0);
	sockaddr_in address = loopback(0);
	socklen_t length = sizeof address;
	if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), length) < 0 ||
	    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) < 0)
		ADD_FAILURE() << "no free port: " << strerror(errno);
	close(fd);
	return ntohs(address.sin_port);
}

struct Server {
	pid_t pid = -1;
	int pidfd = -1; // readable once the process has ended
	int out = -1;
	int err = -1;
};

struct Result {
	std::string out;
	std::string err;
	int status = -1; // exit status, or 128 + signal number
};

// Starts the server with `args`; its stdout goes to `stdout_path` when one
// is given, else to a pipe the test reads.
Server start(const std::vector<std::string> &args, const char *stdout_path = nullptr)
{
	int out[2], err[2];
	if (pipe2(out, O_CLOEXEC) < 0 || pipe2(err, O_CLOEXEC) < 0)
		ADD_FAILURE() << "pipe: " << strerror(errno);
	posix_spawn_file_actions_t actions;
	posix_spawn_file_actions_init(&actions);
	if (stdout_path != nullptr)
		posix_spawn_file_actions_addopen(&actions, 1, stdout_path, O_WRONLY, 0);
	else
		posix_spawn_file_actions_adddup2(&actions, out[1], 1);
	posix_spawn_file_actions_adddup2(&actions, err[1], 2);

	std::vector<char *> argv{const_cast<char *>(SERVER)};
	for (const std::string &arg : args)
		argv.push_back(const_cast<char *>(arg.c_str()));
	argv.push_back(nullptr);

	Server server;
	int rc = posix_spawn(&server.pid, SERVER, &actions, nullptr, argv.data(), environ);
	posix_spawn_file_actions_destroy(&actions);
	EXPECT_EQ(rc, 0) << "spawn " << SERVER << ": " << strerror(rc);
	close(out[1]);
	close(err[1]);
	server.out = out[0];
	server.err = err[0];
	server.pidfd = static_cast<int>(syscall(SYS_pidfd_open, server.pid, 0));
	EXPECT_GE(server.pidfd, 0) << "pidfd_open: " << strerror(errno);
	return server;
}

// Reads `fd` to its end. A reset after data counts as the end too; the
// caller learns of it through `reset`.
std::string drain(int fd, bool *reset = nullptr)
{
	std::string bytes;
	char chunk[4096];
	for (;;) {
		ssize_t n = read(fd, chunk, sizeof chunk);
		if (n > 0) {
			bytes.append(chunk, static_cast<size_t>(n));
			continue;
		}
		if (n < 0 && errno == ECONNRESET && reset != nullptr)
			*reset = true;
		else if (n < 0)
			ADD_FAILURE() << "read: " << strerror(errno);
		return bytes;
	}
}

// Waits for the process to end, at most wait_ms, and collects its output.
Result finish(Server &server)
{
	Result result;
	pollfd ended{server.pidfd, POLLIN, 0};
	if (poll(&ended, 1, wait_ms) != 1) {
		ADD_FAILURE() << "server still running after " << wait_ms << " ms";
		kill(server.pid, SIGKILL);
	}
	int status = 0;
	waitpid(server.pid, &status, 0);
	result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
	result.out = drain(server.out);
	result.err = drain(server.err);
	close(server.out);
	close(server.err);
	close(server.pidfd);
	return result;
}

// Connects once the server listens. Refusals are retried; each retry waits
// on the process itself, so a server that has ended fails the test at once.
int connect_to(const Server &server, int port)
{
	sockaddr_in address = loopback(port);
	for (int attempt = 0; attempt < wait_ms; ++attempt) {
		int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
		timeval limit{wait_ms / 1000, 0};
		setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
		if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
			return fd;
		int why = errno;
		close(fd);
		pollfd ended{server.pidfd, POLLIN, 0};
		if (why != ECONNREFUSED || poll(&ended, 1, 1) != 0) {
			ADD_FAILURE() << "connect: " << strerror(why);
			return -1;
		}
	}
	ADD_FAILURE() << "server never listened on port " << port;
	return -1;
}

void send_all(int fd, const std::string &bytes)
{
	EXPECT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
	          static_cast<ssize_t>(bytes.size()));
}

TEST(Server, WithoutPortPrintsUsage)
{
	Server server = start({});
	Result result = finish(server);
	EXPECT_EQ(result.err, "ERROR, no port provided\n");
	EXPECT_EQ(result.out, "");
	EXPECT_EQ(result.status, 1);
}

struct Exchange {
	const char *name;
	std::string (*port_argument)(int port);
	std::string message;
	bool close_after_send; // the client ends its side instead of waiting
	std::string printed;   // the message as it must appear after the heading
	bool reset;            // unread bytes left: the peer resets after the reply
};

std::string plain(int port) { return std::to_string(port); }
std::string padded(int port) { return " \t+" + std::to_string(port) + "junk"; }
std::string wrapped(int port) { return std::to_string(port + 65536); }
std::string negative(int port) { return std::to_string(port - 65536); }

const Exchange exchanges[] = {
        {"Text", plain, "hello", false, "hello", false},
        {"NothingSent", plain, "", true, "", false},
        {"LongerThanOneRead", plain, std::string(300, 'x'), false, std::string(255, 'x'), true},
        {"ExactlyOneRead", plain, std::string(255, 'y'), true, std::string(255, 'y'), false},
        {"ZeroByteEndsText", plain, std::string("ab\0cd", 5), false, "ab", false},
        {"PercentSignsLiteral", plain, "%s %n %d %%", false, "%s %n %d %%", false},
        {"OwnLineFeeds", plain, "two\nlines\n", false, "two\nlines\n", false},
        {"PortWithBlanksSignAndTrailer", padded, "a", false, "a", false},
        {"PortAbove16Bits", wrapped, "b", false, "b", false},
        {"NegativePort", negative, "c", false, "c", false},
};

void PrintTo(const Exchange &exchange, std::ostream *os) { *os << exchange.name; }

class Served : public testing::TestWithParam<Exchange>
{
};

TEST_P(Served, PrintsMessageAndAcknowledges)
{
	const Exchange &exchange = GetParam();
	int port = free_port();
	Server server = start({exchange.port_argument(port), "ignored"});
	int fd = connect_to(server, port);
	ASSERT_GE(fd, 0);
	send_all(fd, exchange.message);
	if (exchange.close_after_send)
		shutdown(fd, SHUT_WR);
	bool reset = false;
	std::string wire = drain(fd, &reset);
	close(fd);
	Result result = finish(server);

	EXPECT_EQ(wire, reply);
	EXPECT_EQ(reset, exchange.reset);
	EXPECT_EQ(result.out, heading + exchange.printed + "\n");
	EXPECT_EQ(result.err, "");
	EXPECT_EQ(result.status, 0);
}

INSTANTIATE_TEST_SUITE_P(Table, Served, testing::ValuesIn(exchanges),
                         [](const testing::TestParamInfo<Exchange> &row) {
	                         return std::string(row.param.name);
                         });

TEST(Server, PortInUseFailsToBind)
{
	int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	sockaddr_in address = loopback(0);
	address.sin_addr.s_addr = htonl(INADDR_ANY);
	socklen_t length = sizeof address;
	ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&address), length), 0);
	ASSERT_EQ(getsockname(holder, reinterpret_cast<sockaddr *>(&address), &length), 0);

	Server server = start({std::to_string(ntohs(address.sin_port))});
	Result result = finish(server);
	close(holder);
	EXPECT_EQ(result.err, "ERROR on binding: Address already in use\n");
	EXPECT_EQ(result.out, "");
	EXPECT_EQ(result.status, 1);
}

// The peer sends, then resets before the reply. The server is held stopped
// meanwhile, so the reset surely comes first. It must not die of SIGPIPE:
// it reports the failed reply and still delivers the message line.
TEST(Server, PeerResetBeforeReplyKeepsMessage)
{
	int port = free_port();
	Server server = start({std::to_string(port)});
	int fd = connect_to(server, port);
	ASSERT_GE(fd, 0);
	ASSERT_EQ(kill(server.pid, SIGSTOP), 0);
	int status = 0;
	ASSERT_EQ(waitpid(server.pid, &status, WUNTRACED), server.pid);
	ASSERT_TRUE(WIFSTOPPED(status));

	send_all(fd, "kept");
	shutdown(fd, SHUT_WR);
	linger abort{1, 0};
	setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
	close(fd);
	ASSERT_EQ(kill(server.pid, SIGCONT), 0);

	Result result = finish(server);
	EXPECT_EQ(result.err, "ERROR writing to socket: Broken pipe\n");
	EXPECT_EQ(result.out, heading + "kept\n");
	EXPECT_EQ(result.status, 1);
}

// A message line that cannot be written is a failure, reported after the
// client has had its reply.
TEST(Server, UnwritableStdoutFails)
{
	int port = free_port();
	Server server = start({std::to_string(port)}, "/dev/full");
	int fd = connect_to(server, port);
	ASSERT_GE(fd, 0);
	send_all(fd, "lost");
	std::string wire = drain(fd);
	close(fd);
	Result result = finish(server);
	EXPECT_EQ(wire, reply);
	EXPECT_EQ(result.err, "ERROR writing to standard output: No space left on device\n");
	EXPECT_EQ(result.status, 1);
}

} // namespace
