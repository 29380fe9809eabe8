// Time of one served exchange, end to end: start the server on a free
// port, connect, send, read the reply to its end, reap the process. The
// baseline is a run that only starts and exits (no port given).

#include "harness.h"

#include <benchmark/benchmark.h>

namespace
{

void served_exchange(benchmark::State &state)
{
	while (state.KeepRunning()) {
		try {
			int port = harness::free_port();
			harness::Process server = harness::start(
				harness::server({std::to_string(port)}), "/dev/null");
			int fd = harness::connect_to(server, port);
			harness::send_all(fd, "hello");
			bool reset = false;
			std::string reply = harness::drain(fd, &reset);
			close(fd);
			harness::Result result = harness::finish(server);
			if (reply != "I got your message" || result.status != 0) {
				state.SkipWithError("the exchange went wrong");
				break;
			}
		} catch (const std::exception &failure) {
			state.SkipWithError(failure.what());
			break;
		}
	}
}

void start_and_exit(benchmark::State &state)
{
	while (state.KeepRunning()) {
		try {
			harness::Process server = harness::start(harness::server({}), "/dev/null");
			if (harness::finish(server).status != 1) {
				state.SkipWithError("the run went wrong");
				break;
			}
		} catch (const std::exception &failure) {
			state.SkipWithError(failure.what());
			break;
		}
	}
}

BENCHMARK(start_and_exit)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(served_exchange)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace
