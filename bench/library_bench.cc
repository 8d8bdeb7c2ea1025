// Micro-benchmarks of the library paths every check run takes: range
// parsing and classification, performance data, and the argument merge.
#include <benchmark/benchmark.h>

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

BENCHMARK_MAIN();
