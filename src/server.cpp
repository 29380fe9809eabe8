// server: accept one TCP client on the given port, print its one message
// after a fixed heading, acknowledge it, and end.

#include <fcntl.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

[[noreturn]] static void error(const char *message)
{
	perror(message);
	exit(1);
}

int main(int argc, char *argv[])
{
	static constexpr char null_device[] = "/dev/null";
	static constexpr char null_failed[] = "ERROR opening /dev/null";
	static constexpr char usage[] = "ERROR, no port provided\n";
	static constexpr char socket_failed[] = "ERROR opening socket";
	static constexpr char bind_failed[] = "ERROR on binding";
	static constexpr char accept_failed[] = "ERROR on accept";
	static constexpr char read_failed[] = "ERROR reading from socket";
	static constexpr char reply_failed[] = "ERROR writing to socket";
	static constexpr char output_failed[] = "ERROR writing to standard output";
	static constexpr char heading_format[] = "Here is the message: %s\n";
	static constexpr char reply[] = "I got your message";
	static constexpr size_t reply_length = sizeof reply - 1;
	static constexpr size_t buffer_size = 256;
	static constexpr int backlog = 5;
	static_assert(reply_length == 18, "the acknowledgement is 18 bytes on the wire");

	// A closed standard descriptor would be taken by the first socket, and
	// what is meant for it would reach the client or kill the run. It is
	// opened on the null device the wrong way round, so that using it fails.
	// When that is impossible the line is lost if stderr is the one, but no
	// socket exists yet for it to reach.
	for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
		if (fcntl(fd, F_GETFD) >= 0)
			continue;
		if (open(null_device, fd == STDIN_FILENO ? O_WRONLY : O_RDONLY) != fd)
			error(null_failed);
	}

	if (argc < 2) {
		fwrite(usage, 1, sizeof usage - 1, stderr);
		exit(1);
	}

	int listener = socket(AF_INET, SOCK_STREAM, 0);
	if (listener < 0)
		error(socket_failed);

	// The port is converted only once a socket exists, so a socket failure
	// is reported before the argument is looked at.
	sockaddr_in address;
	bzero(&address, sizeof address);
	int port = atoi(argv[1]);
	address.sin_family = AF_INET;
	address.sin_addr.s_addr = htonl(INADDR_ANY);
	address.sin_port = htons(static_cast<uint16_t>(port));

	if (bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0)
		error(bind_failed);

	// Not checked: a socket that does not listen makes accept fail next.
	listen(listener, backlog);

	int connection = accept(listener, nullptr, nullptr);
	if (connection < 0)
		error(accept_failed);

	// One byte short of the buffer, so the message is always terminated.
	char buffer[buffer_size];
	bzero(buffer, sizeof buffer);
	ssize_t count = read(connection, buffer, sizeof buffer - 1);
	if (count < 0)
		error(read_failed);

	printf(heading_format, buffer);

	// MSG_NOSIGNAL: a peer that reset the connection must not kill the
	// process with SIGPIPE and lose the line still buffered for stdout.
	count = send(connection, reply, reply_length, MSG_NOSIGNAL);
	if (count < 0)
		error(reply_failed);

	// A line that never reached its reader is a failure, not a success.
	// Some file systems report a failed write only when the file is
	// closed, and the close at exit would throw that report away. The
	// descriptor is closed, not the stream: fclose would link the static
	// build's allocator, a quarter of its size, for a buffer already empty.
	if (fflush(stdout) != 0 || ferror(stdout) != 0 || close(STDOUT_FILENO) != 0)
		error(output_failed);

	return 0;
}
