// bilateral: smooths PNG, TIFF and JPEG images with the bilateral filter library.
//
//   bilateral [options] INPUT OUTPUT
//   bilateral [options] -o OUTDIR INPUT...
//   bilateral [options] --demo [DIR]
//
// main checks the arguments (options.h, settings.h), makes an interrupt remove
// the output file being written, and runs (run.h).
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "options.h"
#include "run.h"
#include "settings.h"

namespace {

// The temporary file of the save in progress, for the signal handler; empty
// when no save is in progress or its path did not fit.
char g_temporary[4096];
volatile sig_atomic_t g_saving = 0;

// Async-signal-safe: removes the temporary of the save in progress, then dies
// of the signal (the handler was installed to run once).
extern "C" void on_interrupt(int sig) {
    if (g_saving && g_temporary[0] != '\0') unlink(g_temporary);
    raise(sig);
}

// Told by image_io::save where its temporary file is, before it is created,
// and null once it is gone (renamed or removed).
void note_temporary(const char *path) {
    g_saving = 0;
    if (path == nullptr) return;
    const size_t n = std::strlen(path);
    if (n < sizeof g_temporary) std::memcpy(g_temporary, path, n + 1);
    g_saving = n < sizeof g_temporary;
}

}  // namespace

int main(int argc, char **argv) {
    using namespace bilateral::cli;
    if (argc == 1) {
        std::fputs(kShortUsage, stderr);
        return 2;
    }
    Options opt;
    std::string error = parse_options(argc, argv, opt);
    if (error == "help" || error == "version") {
        std::fputs(error == "help" ? kUsage : "bilateral " BILATERAL_VERSION "\n", stdout);
        return 0;
    }
    if (error.empty()) error = check_arguments(opt);
    if (error.empty()) error = check_files(opt);
    if (!error.empty()) {
        std::fprintf(stderr, "bilateral: %s\n(see bilateral --help)\n", error.c_str());
        return 2;
    }
    warn_about_options(opt);
    FilterSettings settings;
    if (!(error = make_settings(opt, settings)).empty()) {
        std::fprintf(stderr, "bilateral: %s\n", error.c_str());
        return 2;
    }
    struct sigaction action = {};
    action.sa_handler = on_interrupt;
    action.sa_flags = SA_RESETHAND | SA_NODEFER;  // the handler's raise() then ends the process
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        struct sigaction before;
        if (sigaction(sig, nullptr, &before) == 0 && before.sa_handler != SIG_IGN) sigaction(sig, &action, nullptr);
    }
    if (opt.threads > 0) halide_set_num_threads(opt.threads);
    opt.save.threads = opt.threads;  // image encoding uses as many threads as filtering (0: one per core)
    opt.save.on_temporary = note_temporary;
    return opt.demo ? run_demo(opt, settings) : filter_files(opt, settings);
}
