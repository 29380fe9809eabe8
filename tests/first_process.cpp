// first_process PROGRAM [ARG...]
//
// Runs PROGRAM as the first process of a new PID namespace, as container
// engines run an image's entry point, as this wrapper's one child: signals
// for it are sent to that child, from outside its namespace as an engine
// sends them. A KILL of the wrapper ends PROGRAM too. The status is
// PROGRAM's, or 128 + the signal that ended it.

#include "namespaces.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

int main(int argc, char *argv[])
{
	constexpr char name[] = "first_process";
	if (argc < 2) {
		std::fputs("usage: first_process PROGRAM [ARG...]\n", stderr);
		return 2;
	}
	namespaces::enter(name, CLONE_NEWPID);
	pid_t child = fork();
	if (child < 0)
		namespaces::cannot(name, "fork");
	if (child == 0) {
		prctl(PR_SET_PDEATHSIG, SIGKILL);
		execvp(argv[1], argv + 1);
		std::perror(argv[1]);
		_exit(127);
	}
	int status = 0;
	while (waitpid(child, &status, 0) < 0)
		if (errno != EINTR)
			namespaces::cannot(name, "waitpid");
	// _exit, since nothing may run at exit that starts a process: none
	// can start in a namespace whose first process has ended, and a leak
	// checker's would fail the run.
	_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}
