# packaging: filled in by its own change.
