#pragma once

namespace velorix {

// How much a run without a window says on standard error.
enum class Verbosity {
  Quiet,    // errors and the line that ends the run, nothing else
  Normal,   // on a terminal the progress bar with the latest status redrawn
            // in place; elsewhere the lasting statuses and the progress every 10 %
  Verbose,  // as Normal on a terminal; elsewhere every status on a line of its own
};

}  // namespace velorix
