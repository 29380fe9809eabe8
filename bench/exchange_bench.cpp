// Time of one served exchange, end to end: start the server on a free
// port, connect, send, read the reply to its end, reap the process. Each
// iteration also times a run that only starts and exits (no port given),
// so the two are measured side by side and reported as a ratio.

#include "harness.h"

#include <benchmark/benchmark.h>

#include <chrono>

namespace
{

using clock_type = std::chrono::steady_clock;

// The server's stdout for every run, so its output costs it no pipe.
int null_device()
{
	static const int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
	return fd;
}

bool served()
{
	harness::Port port;
	harness::Outcome outcome = harness::exchange(harness::server({std::to_string(port.number)}),
						     port.number, "hello", null_device());
	return outcome.wire == harness::reply && outcome.result.status == 0;
}

bool started_and_exited()
{
	harness::Process server = harness::start(harness::server({}), null_device());
	return harness::finish(server).status == 1;
}

// Seconds that `run` takes; a wrong result or a failure of the harness
// throws.
template <typename Run> double timed(Run run)
{
	clock_type::time_point start = clock_type::now();
	if (!run())
		throw std::runtime_error("the run went wrong");
	return std::chrono::duration<double>(clock_type::now() - start).count();
}

void served_exchange(benchmark::State &state)
{
	double exchanges = 0;
	double starts = 0;
	try {
		while (state.KeepRunning()) {
			double exchange = timed(served);
			starts += timed(started_and_exited);
			exchanges += exchange;
			state.SetIterationTime(exchange);
		}
	} catch (const std::exception &failure) {
		state.SkipWithError(failure.what());
		return;
	}
	auto runs = static_cast<double>(state.iterations());
	state.counters["start_exit_us"] = starts / runs * 1e6;
	state.counters["ratio"] = exchanges / starts;
}

BENCHMARK(served_exchange)->Unit(benchmark::kMicrosecond)->UseManualTime();

} // namespace
