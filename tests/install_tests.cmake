# Tests of the install: filled in by their own change.
