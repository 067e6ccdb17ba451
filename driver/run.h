// The tool's command line and run sequence.
#ifndef DRIVER_RUN_H
#define DRIVER_RUN_H

namespace kelvor {

// Reads the arguments (argv[0] is the program name), runs one scoring and
// returns 0 after a completed run. Every failure prints its message on
// standard output and ends the process with exit status 1. Ignores SIGXFSZ
// for the rest of the process.
int tool_main(int argc, char** argv);

}  // namespace kelvor

#endif
