#include "report.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>

extern char **environ;

namespace mpsim {

bool report_wanted() {
    const char *no = std::getenv("MP_NO_REPORT");
    return no == nullptr || std::strcmp(no, "1") != 0;
}

bool write_report(const std::string &outdir, bool wanted) {
    std::error_code ec;
    std::filesystem::remove(std::filesystem::path(outdir) / "index.html", ec);
    if (!wanted)
        return false;
    const char *env_script = std::getenv("MPSIM_REPORT_SCRIPT");
    const std::string script = env_script != nullptr ? env_script : MPSIM_REPORT_SCRIPT;
    const std::string python = MPSIM_REPORT_PYTHON;
    if (access(script.c_str(), R_OK) != 0) {
        std::cerr << "mp-sim: no report written: the generator " << script << " is missing"
                  << std::endl;
        return false;
    }
    // The generator's lines follow the run's own.
    std::cout.flush();
    std::fflush(stdout);
    std::string arg0 = python, arg1 = script, arg2 = outdir;
    char *argv[] = {arg0.data(), arg1.data(), arg2.data(), nullptr};
    pid_t pid = 0;
    const int err = posix_spawn(&pid, python.c_str(), nullptr, nullptr, argv, environ);
    if (err != 0) {
        std::cerr << "mp-sim: no report written: cannot start " << python << ": "
                  << std::strerror(err) << std::endl;
        return false;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return true;
    // The generator names its own reason when it ends by itself.
    if (!WIFEXITED(status))
        std::cerr << "mp-sim: no report written: the generator ended by signal " << WTERMSIG(status)
                  << std::endl;
    return false;
}

}  // namespace mpsim
