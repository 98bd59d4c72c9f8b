#include "runner.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "board_rules.h"
#include "mpsim/board.h"
#include "mpsim/harness.h"
#include "run.h"
#ifdef MPSIM_WITH_VM
#include "mpsim/vm_device.h"
#endif

namespace fs = std::filesystem;

namespace mpsim {

namespace {

// How long mp-sim waits after the last line for the program to end by itself.
constexpr Ms kEndWait{60000};

uint64_t monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

std::string numbered(const char *prefix, int index, const char *ext) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s%04d%s", prefix, index, ext);
    return buf;
}

// The shell that runs the finish script on the simulated device opens this
// device path first, so its start is a journal line in order with the
// program's own.
constexpr const char *kFinishMark = "/sys/mpsim-finish-started";

std::string json_text(const std::string &s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char u[8];
            std::snprintf(u, sizeof u, "\\u%04x", c);
            out += u;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// The journal as mp-sim read it, a JSON object a line, for the report: the
// fields of each line (mpsim/journal.h) with their bytes as hex, and its time
// in seconds since the program started (the clock of frames.txt).
std::string journal_json(const std::vector<JournalEntry> &journal, uint64_t start_ns) {
    std::string out;
    for (const auto &e : journal)
        out +=
            "{\"ns\": " + std::to_string(e.time_ns) + ", \"t\": " +
            std::to_string((static_cast<double>(e.time_ns) - static_cast<double>(start_ns)) / 1e9) +
            ", \"pid\": " + std::to_string(e.pid) + ", \"op\": " + json_text(e.op) +
            ", \"path\": " + json_text(e.path) + ", \"arg\": " + json_text(e.arg) +
            ", \"result\": " + json_text(e.result) + "}\n";
    return out;
}

// A board action's line as the device takes it: the numbers (seconds as
// milliseconds, a list's numbers each) and the words (a choice's word) in
// the order the command declares them. No action takes a rectangle or a
// list of words.
Action action_of(const Step &s) {
    Action a{s.cmd->name};
    for (size_t i = 0; i < s.values.size(); ++i) {
        const ArgValue &v = s.values[i];
        const ArgKind kind = s.cmd->args[i].kind;
        if (kind == ArgKind::Keys || kind == ArgKind::Ints)
            a.numbers.insert(a.numbers.end(), v.numbers.begin(), v.numbers.end());
        else if (kind == ArgKind::Choice || kind == ArgKind::Path || kind == ArgKind::Bytes ||
                 kind == ArgKind::File || kind == ArgKind::Text || kind == ArgKind::TextBytes)
            a.words.push_back(v.text);
        else
            a.numbers.push_back(kind == ArgKind::Seconds ? static_cast<long>(v.time.count())
                                                         : v.number);
    }
    return a;
}

}  // namespace

std::string Run::stamp() const {
    if (!started_)
        return "[      -  ]";
    char buf[32];
    std::snprintf(buf, sizeof buf, "[%8.3f ]",
                  static_cast<double>(monotonic_ns() - start_ns_) / 1e9);
    return buf;
}

void Run::log(const std::string &line) {
    const std::string l = stamp() + " " + line;
    std::cout << l << std::endl;
    steps_ << l << '\n';
    steps_.flush();
}

void Run::fail(const Step &s, const std::string &why) {
    failed_ = true;
    failure_ = s.where + ": " + s.source + ": " + why;
    log("FAILED: " + why);
    std::cerr << "mp-sim: " << run_label_ << failure_ << std::endl;
}

void Run::post_fail(const std::string &why) {
    const std::string where = sc_.ends_where.empty() ? cfg_.scenario_file : sc_.ends_where;
    const std::string msg =
        where + ": after the last line (ends " + ends_name(sc_.ends) + "): " + why;
    if (!failed_) {
        failed_ = true;
        failure_ = msg;
    }
    post_failures_.push_back(why);
    log("FAILED: " + why);
    std::cerr << "mp-sim: " << run_label_ << msg << std::endl;
}

// The shell that runs the finish script: on the simulated device it opens
// the mark first; on the virtual machine its start is an exec line.
std::optional<size_t> Run::finish_started() {
    const std::string shell = std::string("sh") + '\0' + "-c" + '\0' + bench_.finish;
    const auto &j = journal();
    for (size_t i = 0; i < j.size(); ++i)
        if ((j[i].op == "open" && j[i].path == kFinishMark) ||
            (j[i].op == "exec" && std::string(j[i].bytes.begin(), j[i].bytes.end()) == shell))
            return i;
    return std::nullopt;
}

void Run::pause(Ms d) {
    bench_.dev->pause(d);
    set_mark();
}

std::optional<ExitStatus> Run::wait_program(Ms timeout) {
    if (!exit_)
        exit_ = bench_.dev->wait_exit(timeout);
    return exit_;
}

void Run::set_mark() {
    mark_.pushes = bench_.dev->pushes();
    mark_.journal = journal().size();
    mark_.frame_next = mark_.frame_at = std::max(bench_.dev->frame_count() - 1, 0);
}

// Polls `cond` until it holds or the time-out (the device's own time)
// passes. A program that has ended cannot make anything more happen, so the
// wait stops there too.
bool Run::wait_for(const std::function<bool()> &cond, Ms timeout) {
    bool met = false;
    bench_.dev->wait_until([&] { return (met = cond()) || ended(); }, timeout);
    return met || cond();
}

void Run::waited(const Step &s, const std::function<bool()> &cond,
                 const std::function<std::string()> &why) {
    log(s.where + ": " + s.source);
    if (!wait_for(cond, s.timeout)) {
        fail(s, why() + (ended() ? " before the program ended"
                                 : " within " +
                                       seconds_text(static_cast<double>(s.timeout.count()) / 1e3) +
                                       " s"));
        return;
    }
    set_mark();
}

void Run::start_program(const Step &s) {
    rules_.before_start(*this);
    start_ns_ = monotonic_ns();
    started_ = true;
    // The waits count from before the start: a quick program's first writes
    // must not slip in ahead of the mark.
    set_mark();
    command_line_ = bench_.power_on();
    log(s.where + ": " + s.source + ": " + command_line_);
}

void Run::step(const Step &s) {
    const Command &c = *s.cmd;
    c.act ? target().act(action_of(s)) : c.run(*this, s);
    // An action is logged once it is done; waits and checks log themselves.
    if (c.phase == Phase::Action)
        log(s.where + ": " + s.source);
}

void Run::post_conditions() {
    const Ends ends = sc_.ends;
    log("post-conditions");
    // How the program ended.
    if (ends == Ends::Running) {
        if (ended())
            post_fail("the program ended (" + describe(*wait_program(Ms{5000})) +
                      "), but it should still be running");
    } else {
        const auto st = wait_program(kEndWait);
        if (!st) {
            post_fail("the program did not end by itself within " +
                      seconds_text(static_cast<double>(kEndWait.count()) / 1e3) + " s");
        } else if (ends == Ends::Usage) {
            if (!(st->exited && st->code == 255))
                post_fail("expected exit status 255, got " + describe(*st));
        } else if (status_checked_) {
            // An expect-exit or expect-signal line checked it.
        } else if (ends == Ends::HandOff && !(st->exited && st->code == 0)) {
            post_fail("expected exit status 0, got " + describe(*st));
        } else if (ends == Ends::Signal && st->exited) {
            post_fail("expected the program to end by a signal, got " + describe(*st));
        } else if (ends == Ends::PowerCut && !(!st->exited && st->code == SIGKILL)) {
            post_fail("expected the program to end by SIGKILL, got " + describe(*st));
        }
    }
    rules_.check(*this, sc_, porch_checked_, [&](const std::string &why) { post_fail(why); });
    // A program given too few arguments touches no device file.
    if (ends == Ends::Usage) {
        for (const auto &e : journal())
            if (e.op == "open")
                return post_fail("the program opened " + e.path);
    }
    std::istringstream err(bench_.dev->stderr_text());
    for (std::string line; std::getline(err, line);) {
        if (line.find("Sanitizer") != std::string::npos ||
            line.find("runtime error:") != std::string::npos)
            return post_fail("a sanitizer report on standard error: " + line);
    }
}

void Run::finish_program() {
    if (!started_)
        return;
    if (!exit_ && bench_.dev->running()) {
        bench_.dev->kill_program();
        killed_ = true;
        log("the program still ran at the end of the scenario; mp-sim killed it");
    }
    if (!exit_)
        exit_ = bench_.dev->wait_exit(Ms{5000});
}

void Run::clear_old_outputs() {
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(out_, ec)) {
        const std::string n = e.path().filename().string();
        const std::string ext = e.path().extension().string();
        const bool ours =
            ((n.rfind("frame-", 0) == 0 || n.rfind("closest-", 0) == 0) && ext == ".png") ||
            (n.rfind("rec-", 0) == 0 && ext == ".wav") || n == "frames.txt" || n == "journal.txt" ||
            n == "stdout.txt" || n == "stderr.txt" || n == "summary.txt" || n == "steps.txt" ||
            n == "finish.txt" || n == "journal.jsonl";
        if (ours)
            fs::remove(e.path(), ec);
    }
}

bool Run::write_outputs() {
    Target &dev = *bench_.dev;
    bool ok = true;
    auto problem = [&](const std::string &what) {
        std::cerr << "mp-sim: " << what << std::endl;
        ok = false;
    };
    // A text file of the output folder.
    auto put = [&](const std::string &name, const std::string &text) {
        std::ofstream out(out_ / name, std::ios::binary | std::ios::trunc);
        if (!(out << text))
            problem("cannot write " + name);
    };

    // Frames.
    const int nframes = dev.frame_count();
    const bool png = png_supported();
    std::ostringstream index;
    index << "# file  push  time since the program started  size\n";
    for (int i = 0; i < nframes; ++i) {
        const std::string name = numbered("frame-", i, ".png");
        Frame f;
        try {
            f = dev.frame(i);
        } catch (const std::exception &e) {
            problem("cannot read frame " + std::to_string(i) + ": " + e.what());
            continue;
        }
        if (png && !write_png((out_ / name).string(), f))
            problem("cannot write " + name);
        const double t =
            f.time_ns >= start_ns_ ? static_cast<double>(f.time_ns - start_ns_) / 1e9 : 0.0;
        index << name << "  push " << f.push << "  " << seconds_text(t) << " s  " << f.width << "x"
              << f.height << "\n";
    }
    put("frames.txt", index.str());

    // Sound recordings.
    const int nrec = dev.recording_count();
    std::ostringstream recs;
    for (int i = 0; i < nrec; ++i) {
        const std::string name = numbered("rec-", i, ".wav");
        Recording r;
        try {
            r = dev.recording(i);
        } catch (const std::exception &e) {
            problem("cannot read recording " + std::to_string(i) + ": " + e.what());
            continue;
        }
        if (!write_wav((out_ / name).string(), r))
            problem("cannot write " + name);
        recs << "  " << name << "  " << r.rate << " Hz, " << r.channels << " channel(s), "
             << r.frames() << " frames ("
             << seconds_text(r.rate ? static_cast<double>(r.frames()) / r.rate : 0.0) << " s)\n";
    }

    put("journal.txt", dev.journal_text());
    put("stdout.txt", started_ ? dev.stdout_text() : "");
    put("stderr.txt", started_ ? dev.stderr_text() : "");
    put("journal.jsonl", journal_json(journal(), start_ns_));
    const auto finish_trace = dev.read_file("/finish.txt");
    if (finish_trace)
        put("finish.txt", *finish_trace);

    std::ostringstream sum;
    sum << "scenario: " << cfg_.scenario_file << "\n";
    if (!sc_.flow.empty())
        sum << "flow: " << sc_.flow << "\n";
    sum << "device: " << dev.name() << "\n";
    sum << "result: " << (failed_ ? "FAILED at " + failure_ : "passed") << "\n";
    sum << "program: " << (started_ ? command_line_ : "not started") << "\n";
    if (!started_) {
        sum << "program status: not started\n";
    } else if (killed_) {
        sum << "program status: still running at the end of the scenario, killed by mp-sim\n";
    } else if (exit_) {
        sum << "program status: " << describe(*exit_) << "\n";
    } else {
        sum << "program status: unknown (it did not end)\n";
    }
    if (exit_ && exit_->exited)
        sum << "exit status: " << exit_->code << "\n";
    sum << "post-conditions: ";
    if (post_failures_.empty())
        sum << (failed_ && failure_.find("after the last line") == std::string::npos
                    ? "not checked (a line failed)"
                    : "held")
            << "\n";
    for (const auto &p : post_failures_)
        sum << "\n  " << p;
    if (!post_failures_.empty())
        sum << "\n";
    sum << "pushes: " << dev.pushes() << "\n";
    sum << "frames: " << nframes << (png ? "" : " (this build writes no PNG; see frames.txt)")
        << "\n";
    sum << "recordings: " << nrec << "\n" << recs.str();
    sum << "underruns: " << dev.underruns() << "\n";
    sum << "porch at the end: " << dev.porch() << "\n";
    sum << "finish script output: " << (finish_trace ? "finish.txt" : std::string("none")) << "\n";
    sum << dev.whereabouts() << "\n";
    put("summary.txt", sum.str());
    return ok;
}

int Run::run() {
    out_ = fs::absolute(cfg_.outdir);
    // The simulated device's program starts in its root: come back after.
    struct Cwd {
        fs::path at = fs::current_path();
        ~Cwd() {
            std::error_code ec;
            fs::current_path(at, ec);
        }
    } cwd;
    std::error_code ec;
    fs::create_directories(out_, ec);
    if (ec) {
        std::cerr << "mp-sim: cannot make " << out_ << ": " << ec.message() << std::endl;
        return 1;
    }
    clear_old_outputs();
    steps_.open(out_ / "steps.txt", std::ios::trunc);
    if (!run_label_.empty())
        log(run_label_);

    bool written = true;
    try {
        bench_ = set_up_device(sc_.setup, cfg_);
        for (const auto &s : sc_.steps) {
            try {
                step(s);
            } catch (const Unsupported &e) {
                fail(s, std::string("not on ") + bench_.dev->name() + ": " + e.what());
            }
            if (failed_)
                break;
        }
        if (!failed_)
            post_conditions();
    } catch (const std::exception &e) {
        failed_ = true;
        failure_ = std::string("error: ") + e.what();
        log("FAILED: " + failure_);
        std::cerr << "mp-sim: " << e.what() << std::endl;
    }
    if (bench_.dev) {
        try {
            finish_program();
            written = write_outputs();
        } catch (const std::exception &e) {
            std::cerr << "mp-sim: " << e.what() << std::endl;
            written = false;
        }
    }
    log(failed_ ? "scenario failed: " + failure_ : "scenario ran to its end");
    std::cout << "output: " << out_.string() << std::endl;
    bench_ = {};
    return failed_ || !written ? 1 : 0;
}

namespace {

// The storage a scenario sets before power-on: the porch file written or
// removed, the system's version file.
void place_stored_files(Target &dev, const ScenarioSetup &su) {
    if (su.porch_file == ScenarioSetup::PorchFile::Write)
        dev.write_file(BOARD_PORCH_FILE, su.porch_bytes);
    else if (su.porch_file == ScenarioSetup::PorchFile::Remove)
        dev.remove_file(BOARD_PORCH_FILE);
    if (su.etc_version)
        dev.write_file(BOARD_SYSTEM_VERSION, *su.etc_version);
}

// The simulated device: the program runs in the device root (a relative
// application directory lies inside it), through the emulator in a cross
// build. The application directory is made, with its files, only inside the
// root: a scenario must not litter the machine, and a directory outside the
// root stands for one the program cannot find.
Bench set_up_sim(const ScenarioSetup &su, const RunConfig &cfg) {
    Options o;
    o.fb_width = su.fb_width.value_or(o.fb_width);
    o.fb_height = su.fb_height.value_or(o.fb_height);
    o.fb_present = su.fb_present;
    o.keep_root = cfg.keep_root;
    auto dev = std::make_unique<Device>(o);
    Device &d = *dev;
    const std::string root = d.root();
    place_stored_files(d, su);
    std::string app = substitute_root(su.app_dir, root);
    if (!app.empty() && app[0] != '/')
        app = root + "/" + app;
    if (app.compare(0, root.size() + 1, root + "/") == 0) {
        const std::string inside = app.substr(root.size());
        std::error_code ec;
        fs::create_directories(d.path(inside), ec);
        if (ec)
            throw std::runtime_error("cannot make the application directory " + app);
        if (su.app_version)
            d.write_file(inside + "/version", *su.app_version);
        if (su.app_noinit)
            d.write_file(inside + "/.noinit", "");
    } else if (su.app_version || su.app_noinit) {
        throw std::runtime_error(
            "app-version and app-noinit need an app-dir inside the device root ({root}/...), not " +
            app);
    }
    std::vector<std::string> argv = {cfg.program};
    if (su.args) {
        for (const auto &a : *su.args)
            argv.push_back(substitute_root(a, root));
    } else {
        argv.push_back(substitute_root(su.app_dir, root));
        argv.push_back(std::string(": > ") + kFinishMark + "; " + substitute_root(su.finish, root));
    }
    Bench b;
    b.finish = su.args ? "" : argv.back();
    b.power_on = [&d, argv, cfg] {
        // For the reader: the device's folder as {root}, and the program
        // relative to mp-sim's folder when it lies inside it.
        std::string shown;
        for (std::string a : argv) {
            const std::string rel = fs::path(a).lexically_relative(fs::current_path()).string();
            if (shown.empty() && !rel.empty() && rel.rfind("..", 0) != 0)
                a = rel;
            for (size_t at; (at = a.find(d.root())) != std::string::npos;)
                a.replace(at, d.root().size(), "{root}");
            shown += (shown.empty() ? "'" : " '") + a + "'";
        }
        // Under emulation the preloaded library goes to the emulated program
        // only: the emulator itself runs as any program of the machine.
        std::vector<std::string> exec = argv;
        std::vector<std::string> env;
        if (!cfg.emulator.empty()) {
            exec = cfg.emulator;
            exec.insert(exec.end(), {"-E", "LD_PRELOAD=" + preload_library()});
            exec.insert(exec.end(), argv.begin(), argv.end());
            env.push_back("LD_PRELOAD=");
        }
        // Relative paths given to the program (a relative app-dir) mean the
        // device root; mp-sim goes back to its own folder once the run ends.
        if (chdir(d.root().c_str()) != 0)
            throw std::runtime_error("cannot enter the device root " + d.root() + ": " +
                                     std::strerror(errno));
        d.start(exec, env);
        return shown;
    };
    b.dev = std::move(dev);
    return b;
}

#ifdef MPSIM_WITH_VM
// The virtual machine: "{root}" of a scenario (a file of the device's own) is
// the machine's /, and its start script gives the program exactly two
// arguments.
Bench set_up_vm(const ScenarioSetup &su, const RunConfig &cfg) {
    VmOptions o;
    o.keep_folder = cfg.keep_root;
    auto dev = std::make_unique<VmDevice>(o);
    VmDevice &d = *dev;
    if (su.fb_width || su.fb_height || !su.fb_present)
        throw Unsupported(d.name() + " has the board's framebuffer, no other");
    if (su.args && su.args->size() != 2)
        throw Unsupported(d.name() +
                          " starts the program from its start script, with an application "
                          "directory and a finish script only");
    place_stored_files(d, su);
    const std::string app = substitute_root(su.args ? (*su.args)[0] : su.app_dir, "");
    if (su.app_version)
        d.write_file(app + "/version", *su.app_version);
    if (su.app_noinit)
        d.write_file(app + "/.noinit", "");
    Bench b;
    b.finish = substitute_root(su.args ? (*su.args)[1] : su.finish, "");
    b.power_on = [&d, app, finish = b.finish] {
        d.start_mp_test(app, finish);
        return "power-on: /etc/init.d/S99mp_test starts '/usr/bin/mp_test' '" + app + "' '" +
               finish + "'";
    };
    b.dev = std::move(dev);
    return b;
}
#endif

}  // namespace

Bench set_up_device(const ScenarioSetup &setup, const RunConfig &cfg) {
    if (cfg.device == "sim")
        return set_up_sim(setup, cfg);
#ifdef MPSIM_WITH_VM
    if (cfg.device == "vm")
        return set_up_vm(setup, cfg);
    throw std::runtime_error("no device '" + cfg.device + "' (sim or vm)");
#else
    throw std::runtime_error("no device '" + cfg.device + "' (sim; this build has no vm)");
#endif
}

int run_scenario(const Scenario &sc, const RunConfig &cfg) {
    for (int i = 1; i <= sc.repeat; ++i) {
        std::string label;
        if (sc.repeat > 1)
            label = "run " + std::to_string(i) + " of " + std::to_string(sc.repeat) + ": ";
        if (Run(sc, cfg, label).run() != 0)
            return 1;
    }
    return 0;
}

}  // namespace mpsim
