// SPDX-License-Identifier: MIT
// Micro-benchmarks of the library paths every check run takes: range
// parsing and classification, performance data, the argument merge, and a
// state write and read.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "argmerge.h"
#include "kitcore.h"
#include "plugin_routines.h"

const char *progname = "library_bench";
void print_usage(void) {}

static void BM_SetThresholdsAndClassify(benchmark::State &state) {
	char warn[] = "10:20", crit[] = "@~:5";
	for (auto _ : state) {
		thresholds *t = nullptr;
		set_thresholds(&t, warn, crit);
		benchmark::DoNotOptimize(get_status(15.5, t));
		free(t->warning);
		free(t->critical);
		free(t);
	}
}
BENCHMARK(BM_SetThresholdsAndClassify);

static void BM_Fperfdata(benchmark::State &state) {
	for (auto _ : state) {
		char *item = fperfdata("result", 1234.5678, "", TRUE, 10, TRUE, 20, FALSE, 0, FALSE, 0);
		benchmark::DoNotOptimize(item);
		free(item);
	}
}
BENCHMARK(BM_Fperfdata);

static void BM_IsNumeric(benchmark::State &state) {
	for (auto _ : state)
		benchmark::DoNotOptimize(is_numeric("-1234.5678e3"));
}
BENCHMARK(BM_IsNumeric);

// The common case: a command line without --extra-opts.
static void BM_ArgmergeNoExtraOpts(benchmark::State &state) {
	std::vector<std::string> words = {"check_dbquery", "-H", "db1", "-u", "mon", "-p", "x",
	                                  "-q", "SELECT 1", "-w", "10", "-c", "20"};
	for (auto _ : state) {
		std::vector<char *> argv;
		for (auto &w : words)
			argv.push_back(w.data());
		argv.push_back(nullptr);
		int argc = static_cast<int>(words.size());
		benchmark::DoNotOptimize(kr_argmerge(&argc, argv.data(), "check_dbquery"));
	}
}
BENCHMARK(BM_ArgmergeNoExtraOpts);

static void BM_ParseRangeString(benchmark::State &state) {
	char text[] = "@-10.5:1e3";
	for (auto _ : state) {
		range *r = parse_range_string(text);
		benchmark::DoNotOptimize(r);
		free(r);
	}
}
BENCHMARK(BM_ParseRangeString);

// One run's state work: write the new value, then read it back as the next
// run would. The directory is on tmpfs when there is one, so the figure is
// the library's and not the disk's.
static void BM_StateWriteRead(benchmark::State &state) {
	char dir[] = "/dev/shm/kivrel-bench-XXXXXX";
	char fallback[] = "/tmp/kivrel-bench-XXXXXX";
	const char *prefix = mkdtemp(dir) ? dir : mkdtemp(fallback);
	setenv("KIVREL_PLUGIN_STATE_DIRECTORY", prefix, 1);
	static char name[] = "library_bench";
	static char *argv[] = {name, nullptr};
	kr_init(name, 1, argv);
	kr_enable_state("bench", 1);
	for (auto _ : state) {
		kr_state_write_string(0, "12345 67890 counter value");
		benchmark::DoNotOptimize(kr_state_read());
	}
	unlink(this_kivrel_plugin->state->_filename);
	kr_cleanup();
	std::string rm = std::string("rm -rf ") + prefix;
	if (system(rm.c_str()) != 0)
		state.SkipWithError("cannot remove the state directory");
}
BENCHMARK(BM_StateWriteRead);

BENCHMARK_MAIN();
