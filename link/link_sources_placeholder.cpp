// Replaced by the link sources.
