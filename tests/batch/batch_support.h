// Helpers of the kelvor-batch tests: running the command, with the front
// end's helpers (temporary folders, audio files, rows read back).
#ifndef TESTS_BATCH_SUPPORT_H
#define TESTS_BATCH_SUPPORT_H

#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "frontend_support.h"
#include "support.h"

ToolRun run_batch(const std::vector<std::string>& args, const std::string& cwd);
// Runs a /bin/sh script in cwd in which "$0" is kelvor-batch and "$@" are
// args: for pipes and redirections.
ToolRun run_batch_shell(const std::string& script, const std::vector<std::string>& args, const std::string& cwd);

// Starts kelvor-batch in cwd with standard output into out_path (empty:
// /dev/null) and standard error into /dev/null; returns its process id.
pid_t spawn_batch(const std::vector<std::string>& args, const std::string& cwd, const std::string& out_path = "");
// Waits for it; returns the exit status (128 + signal when killed) and
// fills usage.
int wait_batch(pid_t pid, struct rusage* usage = nullptr);

#endif
