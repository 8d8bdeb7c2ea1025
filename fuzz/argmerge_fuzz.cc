// SPDX-License-Identifier: MIT
// Fuzz target for kr_argmerge: an argument vector cut from the input at NUL
// bytes, with --extra-opts in any spelling and place. The INI reader is
// replaced by one that derives its options from the value it is given, so
// that the merge itself is what is exercised.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "argmerge.h"
#include "kitcore.h"

void die(int, const char *, ...) {
	abort();
}

namespace {

// The options of a value: one "--<piece>" for each ','-separated piece.
std::vector<std::string> options_of(const char *value) {
	std::vector<std::string> options;
	std::string text = value ? value : "";
	size_t start = 0;
	while (start <= text.size()) {
		size_t comma = text.find(',', start);
		if (comma == std::string::npos)
			comma = text.size();
		options.push_back("--" + text.substr(start, comma - start));
		start = comma + 1;
	}
	return options;
}

}  // namespace

kr_arg_list *kr_get_defaults(char *opt_value, const char *) {
	kr_arg_list *head = nullptr, **tail = &head;
	for (const std::string &option : options_of(opt_value)) {
		kr_arg_list *node = static_cast<kr_arg_list *>(calloc(1, sizeof *node));
		node->arg = strdup(option.c_str());
		*tail = node;
		tail = &node->next;
	}
	return head;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
	std::vector<std::string> words = {"prog"};
	std::string word;
	for (size_t i = 0; i < size; i++) {
		if (data[i] == '\0') {
			words.push_back(word);
			word.clear();
		} else {
			word += static_cast<char>(data[i]);
		}
	}
	words.push_back(word);

	// What the merge must give: the program name, the options of every
	// --extra-opts in order, then every other argument in order.
	std::vector<std::string> expected_options, rest;
	for (size_t i = 1; i < words.size(); i++) {
		const std::string &w = words[i];
		if (w.compare(0, 13, "--extra-opts=") == 0) {
			for (auto &o : options_of(w.c_str() + 13))
				expected_options.push_back(o);
		} else if (w == "--extra-opts") {
			bool takes_next = i + 1 < words.size() && !is_option2(words[i + 1].c_str());
			for (auto &o : options_of(takes_next ? words[i + 1].c_str() : nullptr))
				expected_options.push_back(o);
			i += takes_next;
		} else {
			rest.push_back(w);
		}
	}

	std::vector<char *> argv;
	for (auto &w : words)
		argv.push_back(w.data());
	argv.push_back(nullptr);
	int argc = static_cast<int>(words.size());
	char **merged = kr_argmerge(&argc, argv.data(), "prog");

	std::vector<std::string> expected = {"prog"};
	expected.insert(expected.end(), expected_options.begin(), expected_options.end());
	expected.insert(expected.end(), rest.begin(), rest.end());
	if (argc != static_cast<int>(expected.size()) || merged[argc] != nullptr)
		abort();
	for (int i = 0; i < argc; i++)
		if (expected[static_cast<size_t>(i)] != merged[i])
			abort();
	if (merged != argv.data()) {
		for (size_t i = 1; i <= expected_options.size(); i++)
			free(merged[i]);
		free(merged);
	}
	return 0;
}
