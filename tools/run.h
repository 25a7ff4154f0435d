// run.h: a run of the tool once its arguments have passed their checks:
// each input filtered into its output (and a comparison picture), or the demo.
#ifndef BILATERAL_TOOLS_RUN_H
#define BILATERAL_TOOLS_RUN_H

#include "options.h"
#include "settings.h"

namespace bilateral::cli {

// Filters INPUT into OUTPUT, or each input into OUTDIR, reporting each file
// written or failed; returns the exit status (0, or 1 if a file failed).
int filter_files(const Options &opt, FilterSettings &s);

// Filters a generated noisy picture and writes it, its filtered version and
// both side by side into the demo folder; returns the exit status.
int run_demo(const Options &opt, FilterSettings &s);

}  // namespace bilateral::cli

#endif  // BILATERAL_TOOLS_RUN_H
