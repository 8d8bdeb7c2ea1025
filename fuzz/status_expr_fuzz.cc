// SPDX-License-Identifier: MIT
// Fuzz target for the expressions of check_dbstatus: any text either parses,
// with no character in it that could break a status line, and then has a
// value (or none) once every name it reads is given; or it is rejected with
// a message that names the expression. The same text, read as the previous
// run's state line, gives a previous sample that fits what it is said to be,
// and a ring of samples whose next line fits a state line.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "status_expr.h"

namespace {

// \a line as the previous sample of the counters a and b, against a run at
// 1000 with an Uptime of 100 and counters of \a value.
void check_previous(const std::string &line, double value) {
	expr_sample sample;
	sample.status = {{"uptime", {true, 100, ""}}, {"a", {true, value, ""}}, {"b", {true, value, ""}}};
	expr_previous previous = expr_take_previous(line.c_str(), {"a", "b"}, 1000, 1001, &sample);
	bool counts = previous == expr_previous::follows;
	if ((previous == expr_previous::none) != sample.since_start ||
	    sample.previous.size() != (counts ? 2u : 0u) || (counts && !(sample.seconds >= 0)))
		abort();
	// As a ring: the next line fits a state line and reads back as one
	// that this run's sample heads.
	std::vector<expr_kept> kept;
	expr_take_ring(line.c_str(), {"a", "b"}, {60, 3600}, 1000, 1001, &sample, &kept);
	std::string next = expr_next_ring({100, 1000, {value, value}}, kept, 3600);
	if (next.size() > 1023 ||
	    expr_take_ring(next.c_str(), {"a", "b"}, {60}, 1000, 1001, &sample, &kept) != expr_previous::follows ||
	    kept.empty() || kept.front().at != 1000)
		abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
	// An expression comes from the command line: it ends at a NUL byte.
	std::string text(reinterpret_cast<const char *>(data), size);
	text = text.substr(0, text.find('\0'));
	check_previous(text, static_cast<double>(size % 3));
	status_expr expr;
	std::string error;
	if (!parse_status_expr(text, &expr, &error)) {
		if (error.find("'" + text + "'") == std::string::npos)
			abort();
		return 0;
	}
	if (text.find_first_of("|\n\r") != std::string::npos || expr.code.empty())
		abort();

	// Every name the expression reads, with values that make divisions
	// and rates both possible and impossible.
	expr_needs needs;
	expr_add_needs(expr, &needs);
	expr_sample sample;
	double value = static_cast<double>(size % 3);
	for (const std::string &name : needs.status)
		sample.status[name] = {true, value, ""};
	for (const std::string &name : needs.variables)
		sample.variables[name] = {true, value + 1, ""};
	for (const std::string &name : needs.counters)
		sample.previous[name] = value;
	sample.since_start = size % 2 == 0;
	sample.seconds = value;
	if (!expr_check_names(expr, sample).empty())
		abort();
	// A value is finite and the same each time; NaN stands for none.
	double result = evaluate_status_expr(expr, sample);
	if (std::isinf(result) || (!std::isnan(result) && result != evaluate_status_expr(expr, sample)))
		abort();
	return 0;
}
