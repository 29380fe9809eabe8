// peak FILE PROGRAM [ARG...]
//
// Runs PROGRAM and, as it exits, appends its peak resident set in kB
// (VmHWM) to FILE: the pages of its own image only, read while ptrace
// holds it at its exit. The rusage of a process counts the image it was
// forked from too, which for a small program is all it shows. Ends as
// PROGRAM ended.

#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace
{

[[noreturn]] void die(const char *what)
{
	std::perror(what);
	std::exit(125);
}

std::string peak_of(pid_t pid)
{
	std::ifstream status("/proc/" + std::to_string(pid) + "/status");
	for (std::string line; std::getline(status, line);)
		if (line.rfind("VmHWM:", 0) == 0)
			return line.substr(line.find_first_not_of(" \t", 6));
	return "unknown";
}

} // namespace

int main(int argc, char *argv[])
{
	if (argc < 3) {
		std::fputs("usage: peak FILE PROGRAM [ARG...]\n", stderr);
		return 2;
	}
	pid_t child = fork();
	if (child < 0)
		die("fork");
	if (child == 0) {
		if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) < 0)
			die("ptrace");
		execvp(argv[2], argv + 2);
		die(argv[2]);
	}
	// The first stop is the exec; from there on only the exit is held,
	// and every signal goes on to the program.
	bool started = false;
	for (;;) {
		int status = 0;
		if (waitpid(child, &status, 0) < 0)
			die("waitpid");
		if (WIFEXITED(status))
			return WEXITSTATUS(status);
		if (WIFSIGNALED(status)) {
			std::signal(WTERMSIG(status), SIG_DFL);
			std::raise(WTERMSIG(status));
			return 128 + WTERMSIG(status);
		}
		int signal = WSTOPSIG(status);
		if (!started) {
			started = true;
			signal = 0;
			if (ptrace(PTRACE_SETOPTIONS, child, nullptr,
				   PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL) < 0)
				die("ptrace");
		} else if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
			signal = 0;
			std::ofstream(argv[1], std::ios::app) << peak_of(child) << '\n';
		}
		if (ptrace(PTRACE_CONT, child, nullptr, signal) < 0)
			die("ptrace");
	}
}
