# Tests of the engine: filled in by their own change.
