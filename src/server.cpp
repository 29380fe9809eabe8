// server: accept one TCP client on the given port, print its one message
// after a fixed heading, acknowledge it, and end.

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

[[noreturn]] static void error(const char *message)
{
	perror(message);
	exit(1);
}

// As the first process of a PID namespace, as in a container, the server
// is sent only the signals it handles: TERM, INT and HUP would do nothing,
// and an engine could end it only with KILL once its wait ran out. There
// they end it as they end any other process, with the status a shell
// shows for that. _exit is all a handler may safely call, and the line
// still buffered is lost, as it is to a signal's default action.
[[noreturn]] static void stop(int signal)
{
	// The status of a process that a signal ended, less the signal's number.
	static constexpr int killed = 128;
	_exit(killed + signal);
}

// A signal the caller ignores, as nohup does HUP, stays ignored.
static void stop_on_signals()
{
	static constexpr char signal_failed[] = "ERROR setting a signal action";
	static constexpr int stops[] = {SIGTERM, SIGINT, SIGHUP};
	struct sigaction action = {};
	for (int signal : stops) {
		struct sigaction inherited = {};
		if (sigaction(signal, nullptr, &inherited) != 0)
			error(signal_failed);
		// Ignored anew, not left alone: an emulator that catches every
		// signal for its own use (qemu-user) then lets this one go too,
		// rather than interrupt the call that waits.
		action.sa_handler = inherited.sa_handler == SIG_IGN ? SIG_IGN : stop;
		if (sigaction(signal, &action, nullptr) != 0)
			error(signal_failed);
	}
}

// The client is anyone who can reach the port: on a terminal nothing it
// sends may act, so it cannot move the cursor, retitle the window, make
// the terminal answer into its own input or reorder what the operator
// reads. Printable ASCII, tab, line feed, a line's closing CR LF and
// well-formed UTF-8 text stay as they are; every other byte of `message`
// goes to `shown` as cat -v shows it, C1 controls in UTF-8 (U+0080 to
// U+009F) and Unicode's bidirectional controls included.
static void show(const char *message, char *shown)
{
	static constexpr unsigned char control_end = 0x20;
	static constexpr unsigned char delete_byte = 0x7f;
	static constexpr unsigned char caret_flip = 0x40; // ESC 0x1b is shown as ^[ 0x5b
	static constexpr unsigned char meta_bit = 0x80;
	static constexpr char meta[] = "M-";
	static constexpr unsigned char first_lead = 0xc2; // 0xc0 and 0xc1 only make overlongs
	static constexpr unsigned char last_lead = 0xf4;  // beyond it, only above U+10FFFF
	static constexpr unsigned char three_lead = 0xe0;
	static constexpr unsigned char four_lead = 0xf0;
	static constexpr unsigned char tail_mask = 0xc0; // a following byte is 10xxxxxx
	static constexpr unsigned char tail_tag = 0x80;
	static constexpr unsigned char tail_value = 0x3f;
	static constexpr unsigned tail_bits = 6;
	static constexpr char32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000}; // by length
	static constexpr char32_t first_shown = 0xa0; // U+0080 to U+009F are C1 controls
	static constexpr char32_t surrogates_first = 0xd800;
	static constexpr char32_t surrogates_last = 0xdfff;
	static constexpr char32_t last_code = 0x10ffff;
	// Unicode's Bidi_Control property, first and last of each run: ALM;
	// LRM and RLM; LRE, RLE, PDF, LRO and RLO; LRI, RLI, FSI and PDI.
	static constexpr char32_t bidi_controls[][2] = {
		{0x061c, 0x061c}, {0x200e, 0x200f}, {0x202a, 0x202e}, {0x2066, 0x2069}};

	const auto *bytes = reinterpret_cast<const unsigned char *>(message);
	size_t length = 0;
	for (size_t i = 0; bytes[i] != '\0';) {
		unsigned char byte = bytes[i];
		size_t size = 1;
		bool kept = (byte >= control_end && byte < delete_byte) || byte == '\t' ||
			    byte == '\n' || (byte == '\r' && bytes[i + 1] == '\n');
		if (byte >= first_lead && byte <= last_lead) {
			size = 2 + (byte >= three_lead) + (byte >= four_lead);
			// A lead keeps one value bit fewer than a tail for each tail.
			char32_t code = byte & (tail_value >> (size - 1));
			// The zero after the message ends a sequence cut short.
			size_t got = 1;
			while (got < size && (bytes[i + got] & tail_mask) == tail_tag)
				code = code << tail_bits | (bytes[i + got++] & tail_value);
			kept = got == size && code >= shortest[size] && code >= first_shown &&
			       code <= last_code &&
			       (code < surrogates_first || code > surrogates_last);
			for (const char32_t *range : bidi_controls)
				kept = kept && (code < range[0] || code > range[1]);
		}
		if (kept) {
			memcpy(shown + length, bytes + i, size);
			length += size;
			i += size;
			continue;
		}
		if (byte >= meta_bit) {
			memcpy(shown + length, meta, sizeof meta - 1);
			length += sizeof meta - 1;
			byte ^= meta_bit;
		}
		if (byte < control_end || byte == delete_byte) {
			shown[length++] = '^';
			byte ^= caret_flip;
		}
		shown[length++] = static_cast<char>(byte);
		++i;
	}
	shown[length] = '\0';
}

// cppcheck-suppress constParameter ; main takes its arguments as the language gives them
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
	static constexpr size_t read_size = buffer_size - 1; // so the message is terminated
	static constexpr int backlog = 5;
	static constexpr pid_t first_process = 1;
	static constexpr size_t widest = sizeof "M-^?" - 1; // the showing of 0xff
	// The longest line: the heading, every byte read at its widest and the
	// line feed. musl keeps 8 bytes of a buffer it is given for its own use.
	static constexpr size_t line_size =
		sizeof heading_format - sizeof "%s" + (widest * read_size);
	static constexpr size_t stdio_own = 8;
	static_assert(reply_length == 18, "the acknowledgement is 18 bytes on the wire");

	// A closed stdout or stderr would be taken by the first socket, and
	// what is meant for it would reach the client or kill the run. Each is
	// opened on the null device for reading only, so that writing to it
	// fails; when that is impossible the line is lost if stderr is the
	// one, but no socket exists yet for it to reach. stdin is never read,
	// so a socket may take it: it is filled only so that the other two get
	// their own numbers, and read-only too, so that a null device that
	// cannot be written fills it as well.
	for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
		if (fcntl(fd, F_GETFD) >= 0)
			continue;
		int opened = open(null_device, O_RDONLY);
		if (opened != fd && fd != STDIN_FILENO)
			error(null_failed);
	}

	if (argc < 2) {
		fwrite(usage, 1, sizeof usage - 1, stderr);
		exit(1);
	}

	if (getpid() == first_process)
		stop_on_signals();

	// Fully buffered whatever stdout is, in a buffer that holds the
	// longest line, so the line goes out whole at the end, after the reply:
	// a reader that is gone, slow, full or stopped holds up no client.
	// Left alone, a C library flushes at the line end on a terminal, one
	// flushes its first line wherever stdout goes, and both pick a buffer
	// (1,024 bytes on a terminal) that a long shown line overflows. It
	// outlives main, as the stream does.
	static char output[line_size + stdio_own];
	if (setvbuf(stdout, output, _IOFBF, sizeof output) != 0)
		error(output_failed);

	int listener = socket(AF_INET, SOCK_STREAM, 0);
	if (listener < 0)
		error(socket_failed);

	// The port is converted only once a socket exists, so a socket failure
	// is reported before the argument is looked at.
	sockaddr_in address;
	// bzero is this program's zero-fill, however newer checkers rate it.
	// NOLINTNEXTLINE(bugprone-unsafe-functions,cert-msc24-c,cert-msc33-c)
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
	// bzero is this program's zero-fill, however newer checkers rate it.
	// NOLINTNEXTLINE(bugprone-unsafe-functions,cert-msc24-c,cert-msc33-c)
	bzero(buffer, sizeof buffer);
	ssize_t count = read(connection, buffer, read_size);
	if (count < 0)
		error(read_failed);

	// A file or pipe gets the bytes as received.
	const char *text = buffer;
	char shown[(widest * read_size) + 1];
	if (isatty(STDOUT_FILENO) != 0) {
		show(buffer, shown);
		text = shown;
	}

	// Its result waits for the end: a line that cannot be written is
	// reported once the client has had its reply.
	int printed = printf(heading_format, text);

	// MSG_NOSIGNAL: a peer that reset the connection must not kill the
	// process with SIGPIPE and lose the line still buffered for stdout.
	count = send(connection, reply, reply_length, MSG_NOSIGNAL);
	if (count < 0)
		error(reply_failed);

	// The client's stream ends now, not at exit, so a client that reads to
	// its end is held by no reader of stdout. Not checked: the reply is out
	// and the line is still owed to stdout, whatever the close says.
	close(connection);

	// A line that never reached its reader is a failure, not a success.
	// Some file systems report a failed write only when the file is
	// closed, and the close at exit would throw that report away. The
	// descriptor is closed, not the stream: fclose would link the static
	// build's allocator, a quarter of its size, for a buffer already empty.
	if (printed < 0 || fflush(stdout) != 0 || close(STDOUT_FILENO) != 0)
		error(output_failed);

	return 0;
}
