#include "batch_support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

ToolRun run_batch(const std::vector<std::string>& args, const std::string& cwd) {
    std::vector<std::string> argv{KELVOR_BATCH_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, cwd);
}

ToolRun run_batch_shell(const std::string& script, const std::vector<std::string>& args, const std::string& cwd) {
    std::vector<std::string> argv{"/bin/sh", "-c", script, KELVOR_BATCH_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, cwd);
}


pid_t spawn_batch(const std::vector<std::string>& args, const std::string& cwd, const std::string& out_path) {
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(out_path.empty() ? "/dev/null" : out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int null = open("/dev/null", O_WRONLY);
        dup2(out, 1);
        dup2(null, 2);
        if (chdir(cwd.c_str()) != 0) _exit(126);
        std::vector<std::string> argv{KELVOR_BATCH_EXE};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> p;
        for (std::string& a : argv) p.push_back(const_cast<char*>(a.c_str()));
        p.push_back(nullptr);
        execv(p[0], p.data());
        _exit(127);
    }
    return pid;
}

int wait_batch(pid_t pid, struct rusage* usage) {
    int status = 0;
    struct rusage ignored {};
    wait4(pid, &status, 0, usage != nullptr ? usage : &ignored);
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}
