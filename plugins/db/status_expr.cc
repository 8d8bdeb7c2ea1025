// SPDX-License-Identifier: MIT
// status_expr: parsing and evaluating the expressions of check_dbstatus.
#include "status_expr.h"

#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <strings.h>
#include <utility>

#include "common.h"
#include "kitcore.h"

namespace {

// Parentheses and unary minus nest at most this deep; the parser recurses
// once per level.
constexpr int max_depth = 64;

enum class tok { end, number, name, variable, lparen, rparen, plus, minus, times, divide, comma, bad };

struct token {
	tok kind;
	size_t start;
	size_t size;
};

bool is_name_start(char c) {
	return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

bool is_name_char(char c) {
	return is_name_start(c) || (c >= '0' && c <= '9');
}

std::string lower(std::string text) {
	for (char &c : text)
		if (c >= 'A' && c <= 'Z')
			c = static_cast<char>(c - 'A' + 'a');
	return text;
}

// \a name in lower case: itself when it is so already (the names of the
// modes are), else \a spare, made so.
const std::string &lowered(const std::string &name, std::string *spare) {
	for (char c : name)
		if (c >= 'A' && c <= 'Z')
			return *spare = lower(name);
	return name;
}

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...) {
	va_list ap;
	va_start(ap, fmt);
	va_list again;
	va_copy(again, ap);
	int size = vsnprintf(nullptr, 0, fmt, ap);
	va_end(ap);
	std::string out(size > 0 ? static_cast<size_t>(size) : 0, '\0');
	vsnprintf(out.data(), out.size() + 1, fmt, again);
	va_end(again);
	return out;
}

class parser {
public:
	parser(const std::string &text, std::vector<expr_step> *code) : text_(text), code_(code) {}

	bool parse(std::string *error) {
		bool ok = expression() && expect(tok::end);
		if (!ok)
			*error = error_;
		return ok;
	}

private:
	token peek() const {
		size_t p = pos_;
		while (p < text_.size() && (text_[p] == ' ' || text_[p] == '\t'))
			p++;
		if (p == text_.size())
			return {tok::end, p, 0};
		char c = text_[p];
		size_t e = p + 1;
		if ((c >= '0' && c <= '9') || c == '.') {
			while (e < text_.size() && ((text_[e] >= '0' && text_[e] <= '9') || text_[e] == '.'))
				e++;
			return {tok::number, p, e - p};
		}
		if (is_name_start(c) || (c == '@' && e < text_.size() && is_name_start(text_[e]))) {
			while (e < text_.size() && is_name_char(text_[e]))
				e++;
			return {c == '@' ? tok::variable : tok::name, p, e - p};
		}
		const char *ops = "()+-*/,";
		const tok kinds[] = {tok::lparen, tok::rparen, tok::plus,  tok::minus,
		                     tok::times,  tok::divide, tok::comma};
		if (const char *op = strchr(ops, c); op && c != '\0')
			return {kinds[op - ops], p, 1};
		// Show a whole UTF-8 character, not a piece of one.
		while (e < text_.size() && (static_cast<unsigned char>(text_[e]) & 0xC0) == 0x80)
			e++;
		return {tok::bad, p, e - p};
	}

	std::string text_of(const token &t) const { return text_.substr(t.start, t.size); }

	void take(const token &t) { pos_ = t.start + t.size; }

	bool fail_at(const token &t) {
		if (t.kind == tok::end)
			error_ = format(_("Syntax error in '%s' at its end"), text_.c_str());
		else
			error_ = format(_("Syntax error in '%s' at '%s'"), text_.c_str(), text_of(t).c_str());
		return false;
	}

	bool expect(tok kind) {
		token t = peek();
		if (t.kind != kind)
			return fail_at(t);
		take(t);
		return true;
	}

	void emit(expr_op op) { code_->push_back({op, 0, "", 0, 0, ""}); }

	// A step of \a op on the name \a written.
	void emit_name(expr_op op, std::string written, double window = 0) {
		std::string name = lower(written);
		if (name == written)
			written.clear();
		code_->push_back({op, 0, std::move(name), 0, window, std::move(written)});
	}

	bool expression() {
		if (!term())
			return false;
		for (token t = peek(); t.kind == tok::plus || t.kind == tok::minus; t = peek()) {
			take(t);
			if (!term())
				return false;
			emit(t.kind == tok::plus ? expr_op::add : expr_op::subtract);
		}
		return true;
	}

	bool term() {
		if (!unary())
			return false;
		for (token t = peek(); t.kind == tok::times || t.kind == tok::divide; t = peek()) {
			take(t);
			if (!unary())
				return false;
			emit(t.kind == tok::times ? expr_op::multiply : expr_op::divide);
		}
		return true;
	}

	// One level deeper for the token \a t, or a syntax error there.
	bool descend(const token &t) {
		if (++depth_ > max_depth)
			return fail_at(t);
		return true;
	}

	bool unary() {
		token t = peek();
		if (t.kind != tok::minus)
			return primary();
		take(t);
		if (!descend(t) || !unary())
			return false;
		depth_--;
		emit(expr_op::negate);
		return true;
	}

	bool number(const token &t) {
		std::string digits = text_of(t);
		double value = 0;
		// The token holds digits and dots only, so no exponent reaches this.
		if (!kr_read_number(digits.c_str(), &value))
			return fail_at(t);
		take(t);
		code_->push_back({expr_op::number, value, "", 0, 0, ""});
		return true;
	}

	// A WINDOW: a whole number and its unit, written together.
	bool read_window(double *seconds) {
		token count = peek();
		if (count.kind != tok::number)
			return fail_at(count);
		take(count);
		token unit = peek();
		std::string text = text_of(count);
		if (unit.kind == tok::name && unit.start == count.start + count.size) {
			take(unit);
			text += text_of(unit);
		}
		if (!expr_read_duration(text.c_str(), false, seconds))
			return fail_at({count.kind, count.start, text.size()});
		return true;
	}

	bool call(const token &name) {
		static const struct {
			const char *name;
			expr_op op;
			int probe;
		} functions[] = {
			{"rate", expr_op::rate, 0},
			{"delta", expr_op::delta, 0},
			{"longest_query", expr_op::probe, PROBE_LONGEST_QUERY},
			{"oldest_transaction", expr_op::probe, PROBE_OLDEST_TRANSACTION},
			{"lock_waits", expr_op::probe, PROBE_LOCK_WAITS},
			{"metadata_lock_waits", expr_op::probe, PROBE_METADATA_LOCK_WAITS},
			{"idle_blocker", expr_op::probe, PROBE_IDLE_BLOCKER},
			{"binlog_bytes", expr_op::probe, PROBE_BINLOG_BYTES},
			{"binlog_files", expr_op::probe, PROBE_BINLOG_FILES},
			{"autoinc_used", expr_op::probe, PROBE_AUTOINC_USED},
			{"tls_cert_days", expr_op::probe, PROBE_TLS_CERT_DAYS},
		};
		const char *called = text_.c_str() + name.start;
		for (const auto &f : functions) {
			if (strncasecmp(called, f.name, name.size) != 0 || f.name[name.size] != '\0')
				continue;
			take(name);
			take(peek());  // the "("
			std::string argument;
			double window = 0;
			if (f.op != expr_op::probe) {
				token counter = peek();
				if (counter.kind != tok::name)
					return fail_at(counter);
				take(counter);
				argument = text_of(counter);
				if (peek().kind == tok::comma) {
					take(peek());
					if (!read_window(&window))
						return false;
				}
			}
			if (!expect(tok::rparen))
				return false;
			if (f.op == expr_op::probe)
				code_->push_back({f.op, 0, "", f.probe, 0, ""});
			else
				emit_name(f.op, argument, window);
			return true;
		}
		error_ = format(_("Unknown function '%s' in '%s'"), text_of(name).c_str(), text_.c_str());
		return false;
	}

	bool primary() {
		token t = peek();
		switch (t.kind) {
		case tok::number:
			return number(t);
		case tok::variable:
			take(t);
			emit_name(expr_op::variable, text_of(t).substr(1));
			return true;
		case tok::name: {
			size_t after = pos_;
			pos_ = t.start + t.size;
			bool is_call = peek().kind == tok::lparen;
			pos_ = after;
			if (is_call)
				return call(t);
			take(t);
			emit_name(expr_op::status, text_of(t));
			return true;
		}
		case tok::lparen:
			take(t);
			if (!descend(t) || !expression() || !expect(tok::rparen))
				return false;
			depth_--;
			return true;
		default:
			return fail_at(t);
		}
	}

	const std::string &text_;
	std::vector<expr_step> *code_;
	size_t pos_ = 0;
	int depth_ = 0;
	std::string error_;
};

// NaN for what is no value.
double or_nan(double value) {
	return std::isfinite(value) ? value : NAN;
}

}  // namespace

bool expr_read_duration(const char *text, bool bare_seconds, double *seconds) {
	static const struct {
		const char *unit;
		double seconds;
	} units[] = {{"s", 1}, {"m", 60}, {"h", 3600}};
	const char *p = text;
	double count = 0;
	while (*p >= '0' && *p <= '9' && count <= expr_max_window)
		count = count * 10 + (*p++ - '0');
	if (p == text || (*p >= '0' && *p <= '9'))
		return false;
	double unit = 0;
	if (*p == '\0' && bare_seconds)
		unit = 1;
	for (const auto &u : units)
		if (strcmp(p, u.unit) == 0)
			unit = u.seconds;
	if (unit == 0 || count * unit < 1 || count * unit > expr_max_window)
		return false;
	*seconds = count * unit;
	return true;
}

std::string expr_duration_text(double seconds) {
	long long left = seconds > 0 ? std::llround(seconds) : 0;
	std::string text;
	if (left >= 3600)
		text += std::to_string(left / 3600) + "h";
	if (left % 3600 >= 60)
		text += std::to_string(left % 3600 / 60) + "m";
	if (left % 60 != 0 || left == 0)
		text += std::to_string(left % 60) + "s";
	return text;
}

bool parse_status_expr(const std::string &text, status_expr *expr, std::string *error) {
	expr->text = text;
	expr->code.clear();
	expr->code.reserve(8);
	return parser(text, &expr->code).parse(error);
}

void expr_add_needs(const status_expr &expr, expr_needs *needs) {
	for (const expr_step &s : expr.code) {
		switch (s.op) {
		case expr_op::rate:
		case expr_op::delta:
			needs->counters.insert(s.name);
			if (s.window > 0)
				needs->windows.insert(s.window);
			// Without a previous run, rates count from the server's start.
			needs->status.insert("uptime");
			[[fallthrough]];
		case expr_op::status:
			needs->status.insert(s.name);
			break;
		case expr_op::variable:
			needs->variables.insert(s.name);
			break;
		case expr_op::probe:
			needs->probes[s.probe] = true;
			break;
		default:
			break;
		}
	}
}

std::string expr_other_spelling(const std::string &name) {
	static const char *const swaps[][2] = {
		{"slave", "replica"}, {"replica", "slave"}, {"master", "source"}, {"source", "master"},
	};
	bool any = false;
	for (const auto &swap : swaps)
		any = any || name.find(swap[0]) != std::string::npos;
	if (!any)
		return "";
	std::string other;
	for (size_t i = 0; i < name.size();) {
		bool swapped = false;
		for (const auto &swap : swaps) {
			size_t n = strlen(swap[0]);
			if (name.compare(i, n, swap[0]) == 0) {
				other += swap[1];
				i += n;
				swapped = true;
				break;
			}
		}
		if (!swapped)
			other += name[i++];
	}
	return other == name ? "" : other;
}

bool expr_text_number(const char *text, double *number) {
	static const struct {
		const char *word;
		double value;
	} words[] = {{"ON", 1}, {"YES", 1}, {"OFF", 0}, {"NO", 0}};
	// A number starts with neither O nor Y nor N.
	for (const auto &w : words) {
		if ((text[0] & ~0x20) != w.word[0])
			continue;
		if (strcasecmp(text, w.word) == 0) {
			*number = w.value;
			return true;
		}
	}
	return kr_read_number(text, number) == TRUE;
}

namespace {

// The value of \a key, a lower-case name, under either spelling, or null.
const server_value *find_value(const expr_values &values, const std::string &key) {
	auto found = values.find(key);
	if (found != values.end())
		return &found->second;
	std::string other = expr_other_spelling(key);
	if (other.empty())
		return nullptr;
	found = values.find(other);
	return found != values.end() ? &found->second : nullptr;
}

// The name of \a s as written.
const char *written(const expr_step &s) {
	return (s.written.empty() ? s.name : s.written).c_str();
}

}  // namespace

const server_value *expr_lookup(const expr_values &values, const std::string &name) {
	std::string spare;
	return find_value(values, lowered(name, &spare));
}

std::string expr_check_names(const status_expr &expr, const expr_sample &sample) {
	const char *text = expr.text.c_str();
	for (const expr_step &s : expr.code) {
		bool counter = s.op == expr_op::rate || s.op == expr_op::delta;
		static const std::string uptime = "uptime";
		const std::string *names[2] = {nullptr, nullptr};
		if (s.op == expr_op::status || counter)
			names[0] = &s.name;
		if (counter)
			names[1] = &uptime;
		for (const std::string *name : names) {
			if (!name)
				continue;
			const char *shown = name == &uptime ? "Uptime" : written(s);
			const server_value *v = find_value(sample.status, *name);
			if (!v)
				return format(_("No status variable %s on the server (in '%s')"), shown, text);
			if (!v->numeric)
				return format(_("The status variable %s holds '%s', which is no number (in '%s')"),
				              shown, v->text.c_str(), text);
		}
		if (s.op != expr_op::variable)
			continue;
		const server_value *v = find_value(sample.variables, s.name);
		if (!v)
			return format(_("No system variable @%s on the server (in '%s')"), written(s), text);
		if (!v->numeric)
			return format(_("The system variable @%s holds '%s', which is no number (in '%s')"),
			              written(s), v->text.c_str(), text);
	}
	return "";
}

bool expr_uses_counters(const status_expr &expr) {
	for (const expr_step &s : expr.code)
		if (s.op == expr_op::rate || s.op == expr_op::delta)
			return true;
	return false;
}

bool expr_uses_window(const status_expr &expr, double window, bool rate) {
	for (const expr_step &s : expr.code)
		if ((s.op == expr_op::rate || (!rate && s.op == expr_op::delta)) && s.window == window)
			return true;
	return false;
}

namespace {

// The number of the status variable \a key (lower case), or NaN.
double status_number(const expr_sample &sample, const std::string &key) {
	const server_value *v = find_value(sample.status, key);
	return v && v->numeric ? v->number : NAN;
}

// rate() or delta() of the counter \a name.
double counter_change(const expr_step &s, const expr_sample &sample) {
	double now = status_number(sample, s.name);
	if (sample.since_start) {
		if (s.op == expr_op::delta)
			return now;
		double uptime = status_number(sample, "uptime");
		return uptime > 0 ? now / uptime : NAN;
	}
	const std::unordered_map<std::string, double> *previous = &sample.previous;
	double seconds = sample.seconds;
	if (s.window > 0) {
		auto base = sample.windows.find(s.window);
		if (base == sample.windows.end())
			return NAN;
		previous = &base->second.counters;
		seconds = base->second.seconds;
	}
	auto before = previous->find(s.name);
	if (before == previous->end())
		return NAN;
	double change = now - before->second;
	if (s.op == expr_op::delta)
		return change;
	return seconds > 0 ? change / seconds : NAN;
}

}  // namespace

double evaluate_status_expr(const status_expr &expr, const expr_sample &sample, bool *no_activity) {
	// Each value, whether it adds up changes only, and whether it rests on
	// a division by a change of 0.
	struct entry {
		double value;
		bool changes;
		bool idle;
	};
	// A stack on the stack for the usual expressions.
	entry local[16];
	std::vector<entry> large;
	entry *base = local;
	if (expr.code.size() > 16) {
		large.resize(expr.code.size());
		base = large.data();
	}
	struct {
		entry *base;
		size_t count;
		size_t size() const { return count; }
		bool empty() const { return count == 0; }
		entry &back() { return base[count - 1]; }
		void pop_back() { count--; }
		void push_back(const entry &e) { base[count++] = e; }
	} stack{base, 0};
	if (no_activity)
		*no_activity = false;
	for (const expr_step &s : expr.code) {
		double value = 0;
		bool changes = false, idle = false;
		if (s.op >= expr_op::add) {
			if (stack.size() < 2)
				return NAN;
			entry right = stack.back();
			stack.pop_back();
			entry left = stack.back();
			stack.pop_back();
			idle = left.idle || right.idle;
			if (s.op == expr_op::add) {
				value = left.value + right.value;
				changes = left.changes && right.changes;
			} else if (s.op == expr_op::subtract) {
				value = left.value - right.value;
			} else if (s.op == expr_op::multiply) {
				value = left.value * right.value;
			} else {
				value = right.value == 0 ? NAN : left.value / right.value;
				idle = idle || (right.value == 0 && right.changes);
			}
		} else if (s.op == expr_op::negate) {
			if (stack.empty())
				return NAN;
			value = -stack.back().value;
			idle = stack.back().idle;
			stack.pop_back();
		} else if (s.op == expr_op::number) {
			value = s.number;
		} else if (s.op == expr_op::status) {
			value = status_number(sample, s.name);
		} else if (s.op == expr_op::variable) {
			const server_value *v = find_value(sample.variables, s.name);
			value = v && v->numeric ? v->number : NAN;
		} else if (s.op == expr_op::probe) {
			value = sample.probes[s.probe];
		} else {
			value = counter_change(s, sample);
			changes = true;
		}
		stack.push_back({or_nan(value), changes, idle});
	}
	if (stack.size() != 1)
		return NAN;
	if (no_activity)
		*no_activity = std::isnan(stack.back().value) && stack.back().idle;
	return stack.back().value;
}

namespace {

// Appends \a value as the shortest text that reads back as the same double
// (or with \a decimals fixed ones, when given).
void append_number(std::string *line, double value, int decimals = -1) {
	char text[400];
	std::to_chars_result res = decimals < 0
		? std::to_chars(text, text + sizeof text, value)
		: std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
	line->append(text, res.ec == std::errc() ? res.ptr : text);
}

}  // namespace

double expr_now(void) {
	struct timespec ts;
	clock_gettime(CLOCK_REALTIME, &ts);
	return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec / 1000000) / 1000.0;
}

std::string expr_encode_sample(double uptime, double at, const std::vector<double> &values) {
	std::string line;
	line.reserve(24 * (values.size() + 2));
	append_number(&line, uptime);
	line += ' ';
	append_number(&line, at, 3);
	for (double v : values) {
		line += ' ';
		append_number(&line, v);
	}
	return line;
}

namespace {

// Read one sample of \a counters numbers from \a p, which ends at the
// end of the text or at ";"; null for anything else.
const char *read_kept(const char *p, size_t counters, expr_kept *kept) {
	kept->values.clear();
	kept->values.reserve(counters);
	for (size_t i = 0; i < counters + 2; i++) {
		while (*p == ' ')
			p++;
		const char *end = p + strcspn(p, " ;");
		double value = 0;
		if (!kr_read_number_n(p, static_cast<size_t>(end - p), &value))
			return nullptr;
		if (i == 0)
			kept->uptime = value;
		else if (i == 1)
			kept->at = value;
		else
			kept->values.push_back(value);
		p = end;
	}
	if (*p != '\0' && *p != ';')
		return nullptr;
	return p;
}

}  // namespace

expr_previous expr_take_previous(const char *line, const std::set<std::string> &counters,
                                 double at, double read_at, expr_sample *sample) {
	std::vector<expr_kept> kept;
	return expr_take_ring(line, counters, {}, at, read_at, sample, &kept);
}

expr_previous expr_take_ring(const char *line, const std::set<std::string> &counters,
                             const std::set<double> &windows, double at, double read_at,
                             expr_sample *sample, std::vector<expr_kept> *kept) {
	sample->since_start = true;
	sample->seconds = 0;
	sample->previous.clear();
	sample->windows.clear();
	kept->clear();
	// Every number finite, none missing, nothing after the last.
	std::vector<expr_kept> ring;
	for (const char *p = line;;) {
		expr_kept one;
		p = read_kept(p, counters.size(), &one);
		if (!p)
			return expr_previous::none;
		ring.push_back(std::move(one));
		if (*p == '\0')
			break;
		p++;
	}
	double then = ring[0].at;
	if (then > read_at)
		return expr_previous::none;
	// An overlapping run's sample, with no previous to count from.
	if (then > at) {
		sample->since_start = false;
		return expr_previous::newer;
	}
	double uptime = status_number(*sample, "uptime");
	std::vector<double> newer;
	for (const std::string &name : counters)
		newer.push_back(status_number(*sample, name));
	// Newest first, each of this server start and with counters no further
	// than the next newer one's; the first that is not ends the usable ones.
	for (const expr_kept &one : ring) {
		if (one.at > then || std::fabs((one.at - one.uptime) - (at - uptime)) > expr_start_tolerance)
			break;
		bool back = false;
		for (size_t i = 0; i < newer.size(); i++)
			back = back || one.values[i] > newer[i];
		// Counters ahead of this run's, of a sample taken a moment before
		// it: its status was read after this run's. Further back, FLUSH
		// STATUS or a restart soon after the server's start set them back.
		if (back && kept->empty() && at - one.at <= expr_overlap_window) {
			sample->since_start = false;
			return expr_previous::newer;
		}
		if (back)
			break;
		kept->push_back(one);
		newer = one.values;
		then = one.at;
	}
	if (kept->empty())
		return expr_previous::none;
	auto counts = [&](const expr_kept &one, std::unordered_map<std::string, double> *into) {
		size_t i = 0;
		for (const std::string &name : counters)
			(*into)[name] = one.values[i++];
	};
	counts(kept->front(), &sample->previous);
	sample->since_start = false;
	sample->seconds = at - kept->front().at;
	for (double window : windows) {
		// The oldest within the window, else the newest.
		const expr_kept *from = &kept->front();
		for (const expr_kept &one : *kept)
			if (at - one.at <= window)
				from = &one;
		expr_sample::base &base = sample->windows[window];
		counts(*from, &base.counters);
		base.seconds = at - from->at;
		// The interval differs from the window: the ring does not reach
		// back that far, or holds no sample within it.
		base.name_interval = at - kept->back().at < window || base.seconds > window;
	}
	return expr_previous::follows;
}

namespace {

std::string encode_ring(const std::vector<const expr_kept *> &ring) {
	std::string line;
	for (const expr_kept *one : ring)
		line += (line.empty() ? "" : ";") + expr_encode_sample(one->uptime, one->at, one->values);
	return line;
}

}  // namespace

std::string expr_next_ring(const expr_kept &now, const std::vector<expr_kept> &kept, double longest) {
	// The most characters of a state line.
	const size_t line_cap = 1023;
	std::vector<const expr_kept *> ring = {&now};
	if (longest > 0)
		for (const expr_kept &one : kept)
			ring.push_back(&one);
	// One sample at least as old as the longest window, and none older.
	while (ring.size() > 2 && now.at - ring[ring.size() - 2]->at >= longest)
		ring.pop_back();
	std::string line = encode_ring(ring);
	while (ring.size() > 1 && (ring.size() > expr_ring_max || line.size() > line_cap)) {
		// The sample between the closest neighbours goes; of two, the older.
		size_t gone = ring.size() - 1;
		double gap = 0;
		for (size_t i = 1; i + 1 < ring.size(); i++) {
			double around = ring[i - 1]->at - ring[i + 1]->at;
			if (gone == ring.size() - 1 || around < gap) {
				gone = i;
				gap = around;
			}
		}
		ring.erase(ring.begin() + static_cast<long>(gone));
		line = encode_ring(ring);
	}
	return line;
}
