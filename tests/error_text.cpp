// error_text N: prints the C library's text for error number N. Built and
// linked like the server, it tells the tests the very words the server's
// perror prints, whichever C library that is.

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// cppcheck-suppress constParameter ; main takes its arguments as the language gives them
int main(int argc, char *argv[])
{
	if (argc != 2)
		return 2;
	fputs(strerror(atoi(argv[1])), stdout);
	return 0;
}
