// Replaced by the archive sources.
