# Tests of the package: filled in by their own change.
