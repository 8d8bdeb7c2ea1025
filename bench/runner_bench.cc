// SPDX-License-Identifier: MIT
// Benchmarks of the command runner: capturing a child's output beside a bare
// read of the same child's pipe, and cutting a capture into lines beside a
// plain memchr scan of the same bytes.
#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kitrun.h"

extern char **environ;

namespace {

const size_t mib = 1024 * 1024;

// `head -c <bytes> /dev/zero`, as a vector for cmd_run_array or posix_spawn.
struct head_command {
	explicit head_command(size_t bytes) : count(std::to_string(bytes)) {
		argv = {const_cast<char *>("/usr/bin/head"), const_cast<char *>("-c"), count.data(),
		        const_cast<char *>("/dev/zero"), nullptr};
	}
	std::string count;
	std::vector<char *> argv;
};

void BM_CaptureRunArray(benchmark::State &state) {
	const size_t bytes = static_cast<size_t>(state.range(0)) * mib;
	head_command head(bytes);
	for (auto _ : state) {
		output out;
		if (cmd_run_array(head.argv.data(), &out, nullptr, CMD_BUFFER_ONLY) != 0 ||
		    out.buflen != bytes)
			state.SkipWithError("capture incomplete");
		free(out.buf);
	}
	state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_CaptureRunArray)->Arg(1)->Arg(16)->Arg(256)->Unit(benchmark::kMillisecond)->UseRealTime();

// The floors: the same child, its output read from a pipe and thrown away
// (append false), or appended to a block that doubles as it fills, as any
// capture must (append true).
void pipe_read(benchmark::State &state, bool append) {
	const size_t bytes = static_cast<size_t>(state.range(0)) * mib;
	head_command head(bytes);
	std::vector<char> sink(64 * 1024);
	for (auto _ : state) {
		int fds[2];
		if (pipe(fds) != 0)
			state.SkipWithError("pipe");
		posix_spawn_file_actions_t actions;
		posix_spawn_file_actions_init(&actions);
		posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
		posix_spawn_file_actions_addclose(&actions, fds[0]);
		pid_t pid;
		posix_spawn(&pid, head.argv[0], &actions, nullptr, head.argv.data(), environ);
		posix_spawn_file_actions_destroy(&actions);
		close(fds[1]);
		char *block = nullptr;
		size_t total = 0, room = 0;
		for (;;) {
			if (append && room - total < 4096) {
				room = room ? room * 2 : 64 * 1024;
				block = static_cast<char *>(realloc(block, room));
			}
			ssize_t n = append ? read(fds[0], block + total, room - total)
			                   : read(fds[0], sink.data(), sink.size());
			if (n <= 0)
				break;
			total += static_cast<size_t>(n);
		}
		free(block);
		close(fds[0]);
		waitpid(pid, nullptr, 0);
		if (total != bytes)
			state.SkipWithError("read incomplete");
	}
	state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void BM_PipeReadBaseline(benchmark::State &state) {
	pipe_read(state, false);
}
BENCHMARK(BM_PipeReadBaseline)->Arg(1)->Arg(16)->Arg(256)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PipeAppendBaseline(benchmark::State &state) {
	pipe_read(state, true);
}
BENCHMARK(BM_PipeAppendBaseline)->Arg(1)->Arg(16)->Arg(256)->Unit(benchmark::kMillisecond)->UseRealTime();

// 16 MiB of 16-byte lines in a temporary file, made once.
const std::string &lines_file() {
	static std::string path;
	if (path.empty()) {
		char name[] = "/tmp/runner_bench_XXXXXX";
		int fd = mkstemp(name);
		std::string text;
		while (text.size() < 16 * mib)
			text += "0123456789abcde\n";
		if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
			abort();
		close(fd);
		path = name;
		atexit([] { unlink(path.c_str()); });
	}
	return path;
}

void read_lines_file(benchmark::State &state, int flags) {
	const std::string &path = lines_file();
	size_t bytes = 0;
	for (auto _ : state) {
		output out;
		cmd_file_read(path.c_str(), &out, flags);
		benchmark::DoNotOptimize(out.lines);
		bytes += out.buflen;
		free(out.buf);
		free(out.line);
		free(out.lens);
	}
	state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

// Reading the file alone, then reading and cutting it into lines: the
// difference is the cost of the line split.
void BM_FileReadBufferOnly(benchmark::State &state) {
	read_lines_file(state, CMD_BUFFER_ONLY);
}
BENCHMARK(BM_FileReadBufferOnly)->Unit(benchmark::kMillisecond);

void BM_FileReadLines(benchmark::State &state) {
	read_lines_file(state, 0);
}
BENCHMARK(BM_FileReadLines)->Unit(benchmark::kMillisecond);

// What the split is measured against: a memchr scan for every newline of
// the same bytes, already in memory.
void BM_MemchrScan(benchmark::State &state) {
	output out;
	cmd_file_read(lines_file().c_str(), &out, CMD_BUFFER_ONLY);
	for (auto _ : state) {
		size_t lines = 0;
		const char *p = out.buf, *end = out.buf + out.buflen;
		while (const char *nl = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p)))) {
			lines++;
			p = nl + 1;
		}
		benchmark::DoNotOptimize(lines);
	}
	state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * out.buflen));
	free(out.buf);
}
BENCHMARK(BM_MemchrScan)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
