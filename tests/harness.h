// Drives the built server as a client would: start it on a free loopback
// port, connect once it listens, collect its output and exit status.
// Shared by the tests and the benchmark; a failure of the harness itself
// throws.

#pragma once

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

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace harness
{

constexpr int wait_ms = 10000;
inline constexpr char heading[] = "Here is the message: ";
inline constexpr char reply[] = "I got your message";

[[noreturn]] inline void fail(const std::string &what, int why)
{
	throw std::runtime_error(what + ": " + std::strerror(why));
}

// 127.0.0.1; any address of 127.0.0.0/8 is local as well.
const in_addr localhost{htonl(INADDR_LOOPBACK)};

// `port` at `host`.
inline sockaddr_in at(in_addr host, int port)
{
	sockaddr_in address{};
	address.sin_family = AF_INET;
	address.sin_port = htons(static_cast<uint16_t>(port));
	address.sin_addr = host;
	return address;
}

// Every local address at `port`, as the server binds it.
inline sockaddr_in everywhere(int port) { return at({htonl(INADDR_ANY)}, port); }

// A socket of `type` bound to `address`, or -1.
inline int bound(int type, const sockaddr_in &address)
{
	int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
	if (fd >= 0 && bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0)
		return fd;
	close(fd);
	return -1;
}

// A TCP socket bound to a port the kernel picks. Closed before it is
// connected, it leaves no closing wait.
inline int bound_socket(int *port)
{
	int fd = bound(SOCK_STREAM, everywhere(0));
	sockaddr_in address{};
	socklen_t length = sizeof address;
	if (fd < 0 || getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) < 0)
		fail("no free port", errno);
	*port = ntohs(address.sin_port);
	return fd;
}

// A port for one server to bind, which nothing else is handed meanwhile.
// The kernel hands out ports of its ephemeral range by itself, to clients
// and to binds of port 0, so the port lies outside that range, among those
// this user may bind: from 1 as root, else from the first unprivileged
// one. Tests claim theirs by binding UDP to the same number, for as long
// as this lives; TCP on it is free when it is handed on.
struct Port {
	int number = 0;
	int claim = -1;

	// Ports are drawn at random, each outside the range as likely as any
	// other: a walk from one draw would favour the port above the range,
	// and crawl through ports earlier runs left in their closing wait.
	Port()
	{
		int first = 0;
		int last = 0;
		std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> first >> last;
		int lowest = 1;
		if (geteuid() != 0) {
			lowest = 1024;
			std::ifstream("/proc/sys/net/ipv4/ip_unprivileged_port_start") >> lowest;
			lowest = std::max(lowest, 1);
		}
		constexpr int highest = 65535;
		int skipped_from = std::max(first, lowest);
		int skipped = std::max(0, std::min(last, highest) - skipped_from + 1);
		int choices = highest - lowest + 1 - skipped;
		if (choices <= 0)
			throw std::runtime_error(
				"no port to test on: every port this user may bind, " +
				std::to_string(lowest) + " to 65535, lies in the ephemeral range " +
				std::to_string(first) + " to " + std::to_string(last) +
				", which the system hands to any client");
		static std::mt19937 random(std::random_device{}());
		std::uniform_int_distribution<int> draw(lowest, lowest + choices - 1);
		for (int attempt = 0; attempt < 1000; ++attempt) {
			number = draw(random);
			if (skipped > 0 && number >= skipped_from)
				number += skipped;
			claim = bound(SOCK_DGRAM, everywhere(number));
			if (claim < 0)
				continue;
			int probe = bound(SOCK_STREAM, everywhere(number));
			if (probe >= 0) {
				close(probe);
				return;
			}
			close(claim);
			claim = -1;
		}
		throw std::runtime_error("no port free outside the ephemeral range");
	}
	~Port() { close(claim); }
	Port(const Port &) = delete;
	Port &operator=(const Port &) = delete;
};

// The command that runs the server: the built binary, or the words of
// SERVER_COMMAND when it is set (a binary elsewhere, or one under a
// wrapper). Its words are split at blanks, and a backslash keeps the next
// character, as printf %q writes a path with spaces in it.
inline std::vector<std::string> server(const std::vector<std::string> &args)
{
	const char *words = std::getenv("SERVER_COMMAND");
	std::vector<std::string> command{words != nullptr ? "" : SERVER};
	for (const char *c = words; c != nullptr && *c != '\0'; ++c) {
		if (*c == ' ' || *c == '\t') {
			if (!command.back().empty())
				command.emplace_back();
			continue;
		}
		if (*c == '\\' && c[1] != '\0')
			++c;
		command.back() += *c;
	}
	if (command.back().empty())
		command.pop_back();
	command.insert(command.end(), args.begin(), args.end());
	return command;
}

struct Process {
	pid_t pid = -1;
	int pidfd = -1; // readable once the process has ended
	int out = -1;   // -1 where stdout went elsewhere
	int err = -1;

	Process() = default;
	Process(Process &&other) noexcept
	    : pid(std::exchange(other.pid, -1)), pidfd(std::exchange(other.pidfd, -1)),
	      out(std::exchange(other.out, -1)), err(std::exchange(other.err, -1))
	{
	}
	// A test that fails or throws midway leaves no server behind.
	~Process()
	{
		if (pid > 0) {
			kill(pid, SIGKILL);
			waitpid(pid, nullptr, 0);
		}
		for (int fd : {pidfd, out, err})
			if (fd >= 0)
				close(fd);
	}
};

struct Result {
	std::string out;
	std::string err;
	int status = -1; // exit status, or 128 + the signal that ended it
	int signal = 0;  // the signal that ended it, if one did
};

// Starts `command` with stdin on /dev/null, stderr to a pipe, and stdout on
// `stdout_fd` when one is given, else to a pipe; then the descriptors in
// `closed` are closed. SIGPIPE ends it, whether this process ignores or
// blocks it.
inline Process start(const std::vector<std::string> &command, int stdout_fd = -1,
		     const std::vector<int> &closed = {})
{
	int out[2] = {-1, stdout_fd};
	int err[2];
	if ((stdout_fd < 0 && pipe2(out, O_CLOEXEC) < 0) || pipe2(err, O_CLOEXEC) < 0)
		fail("pipe", errno);
	posix_spawn_file_actions_t actions;
	posix_spawn_file_actions_init(&actions);
	posix_spawn_file_actions_adddup2(&actions, err[1], 2);
	posix_spawn_file_actions_adddup2(&actions, out[1], 1);
	posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
	for (int fd : closed)
		posix_spawn_file_actions_addclose(&actions, fd);
	posix_spawnattr_t attributes;
	posix_spawnattr_init(&attributes);
	sigset_t pipe_signal;
	sigemptyset(&pipe_signal);
	sigaddset(&pipe_signal, SIGPIPE);
	posix_spawnattr_setsigdefault(&attributes, &pipe_signal);
	sigset_t none;
	sigemptyset(&none);
	posix_spawnattr_setsigmask(&attributes, &none);
	posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

	std::vector<char *> argv(command.size() + 1, nullptr);
	std::transform(command.begin(), command.end(), argv.begin(),
		       [](const std::string &word) { return const_cast<char *>(word.c_str()); });

	Process process;
	int rc = posix_spawnp(&process.pid, argv[0], &actions, &attributes, argv.data(), environ);
	posix_spawn_file_actions_destroy(&actions);
	posix_spawnattr_destroy(&attributes);
	if (stdout_fd < 0)
		close(out[1]);
	close(err[1]);
	process.out = out[0];
	process.err = err[0];
	if (rc != 0)
		fail("spawn " + command[0], rc);
	process.pidfd = static_cast<int>(syscall(SYS_pidfd_open, process.pid, 0));
	if (process.pidfd < 0)
		fail("pidfd_open", errno);
	return process;
}

// Reads `fd` to its end, waiting at most wait_ms for each piece. A reset
// counts as an end too, when the caller asks to learn of it through
// `reset`; so does EIO, which a terminal reads once its other side closed.
inline std::string drain(int fd, bool *reset = nullptr)
{
	std::string bytes;
	char chunk[4096];
	for (;;) {
		pollfd ready{fd, POLLIN, 0};
		if (poll(&ready, 1, wait_ms) == 0)
			throw std::runtime_error("output not ended within the time limit");
		ssize_t n = read(fd, chunk, sizeof chunk);
		if (n > 0) {
			bytes.append(chunk, static_cast<size_t>(n));
			continue;
		}
		if (n < 0 && errno == ECONNRESET && reset != nullptr)
			*reset = true;
		else if (n < 0 && errno != EIO)
			fail("read", errno);
		return bytes;
	}
}

// Writes to `fd` until it would block; returns what was written.
inline std::string fill(int fd)
{
	int flags = fcntl(fd, F_GETFL);
	std::string filler;
	const std::string chunk(4096, 'f');
	fcntl(fd, F_SETFL, flags | O_NONBLOCK);
	for (ssize_t n = 0; n >= 0; n = write(fd, chunk.data(), chunk.size()))
		filler.append(chunk, 0, static_cast<size_t>(n));
	fcntl(fd, F_SETFL, flags);
	return filler;
}

inline bool ended(const Process &process, timespec timeout)
{
	pollfd end{process.pidfd, POLLIN, 0};
	return ppoll(&end, 1, &timeout, nullptr) == 1;
}

// Waits at most wait_ms for the process to end and collects its output.
inline Result finish(Process &process)
{
	bool in_time = ended(process, {wait_ms / 1000, 0});
	if (!in_time)
		kill(process.pid, SIGKILL);
	int status = 0;
	waitpid(process.pid, &status, 0);
	process.pid = -1;
	Result result;
	result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
	result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
	if (process.out >= 0)
		result.out = drain(process.out);
	result.err = drain(process.err);
	if (!in_time)
		throw std::runtime_error("server still running after the time limit");
	return result;
}

// Connects once the server listens, or returns -1 once it has ended
// without. A refusal is retried after a short wait on the process itself;
// the retries add up to wait_ms at most.
inline int connect_to(const Process &process, int port, in_addr host = localhost)
{
	constexpr int retry_us = 50;
	sockaddr_in address = at(host, port);
	for (int attempt = 0; attempt < wait_ms / retry_us * 1000; ++attempt) {
		int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
		if (fd < 0)
			fail("client socket", errno);
		if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
			timeval limit{wait_ms / 1000, 0};
			if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) < 0)
				fail("client socket", errno);
			return fd;
		}
		int why = errno;
		close(fd);
		if (why != ECONNREFUSED)
			fail("connect", why);
		if (ended(process, {0, retry_us * 1000L}))
			return -1;
	}
	throw std::runtime_error("server never listened");
}

inline void send_all(int fd, const std::string &bytes)
{
	if (send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) !=
	    static_cast<ssize_t>(bytes.size()))
		fail("send", errno);
}

struct Outcome {
	std::string wire;   // what came back on the connection
	bool reset = false; // whether it ended in a reset rather than a close
	Result result;
};

// Connects to the server on `port` at `host`, sends `message` in one piece
// and ends the client's side; -1 when the server ended without listening.
inline int send_message(const Process &process, int port, const std::string &message,
			in_addr host = localhost)
{
	int fd = connect_to(process, port, host);
	if (fd >= 0) {
		send_all(fd, message);
		shutdown(fd, SHUT_WR);
	}
	return fd;
}

// One exchange with `command`, which must listen on `port`: the client
// sends `message` to `host` and reads to the end. A server that ends
// without listening leaves the wire empty.
inline Outcome exchange(const std::vector<std::string> &command, int port,
			const std::string &message, int stdout_fd = -1,
			const std::vector<int> &closed = {}, in_addr host = localhost)
{
	Process process = start(command, stdout_fd, closed);
	Outcome outcome;
	int fd = send_message(process, port, message, host);
	if (fd >= 0) {
		outcome.wire = drain(fd, &outcome.reset);
		close(fd);
	}
	outcome.result = finish(process);
	return outcome;
}

// The line the server's perror prints for `message` and error number
// `error`. C libraries word their errors differently, so the text comes
// from a helper linked like the server.
inline std::string diagnostic(const std::string &message, int error)
{
	Process helper = start({ERROR_TEXT, std::to_string(error)});
	Result text = finish(helper);
	if (text.status != 0)
		throw std::runtime_error("error_text failed: " + text.err);
	return message + ": " + text.out + "\n";
}

} // namespace harness
