// Time of one served exchange, end to end: start the server on a free
// port, connect, send, read the reply to its end, reap the process. The
// baseline is a run that only starts and exits (no port given).

#include "harness.h"

#include <benchmark/benchmark.h>

namespace
{

// Runs `once` each iteration; a wrong result or a failure of the harness
// ends the benchmark with the reason.
template <typename Run> void repeat(benchmark::State &state, Run once)
{
	while (state.KeepRunning()) {
		try {
			if (!once()) {
				state.SkipWithError("the run went wrong");
				return;
			}
		} catch (const std::exception &failure) {
			state.SkipWithError(failure.what());
			return;
		}
	}
}

void served_exchange(benchmark::State &state)
{
	repeat(state, [] {
		int port = harness::free_port();
		harness::Outcome outcome = harness::exchange(
			harness::server({std::to_string(port)}), port, "hello", "/dev/null");
		return outcome.wire == harness::reply && outcome.result.status == 0;
	});
}

void start_and_exit(benchmark::State &state)
{
	repeat(state, [] {
		harness::Process server = harness::start(harness::server({}), "/dev/null");
		return harness::finish(server).status == 1;
	});
}

BENCHMARK(start_and_exit)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(served_exchange)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace
