// Replaced by the settings sources.
