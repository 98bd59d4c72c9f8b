// What every device offers built on its own primitives, its folder on this
// machine, and what a device cannot do unless it says otherwise: one place
// for actions, act.
#include "mpsim/target.h"

#include <stdlib.h>
#include <string.h>

#include <cerrno>
#include <filesystem>
#include <thread>

namespace mpsim {

namespace fs = std::filesystem;

Target::~Target() {
    std::error_code ec;
    if (!keep_ && !folder_.empty())
        fs::remove_all(folder_, ec);
}

void Target::make_folder(const std::string &folder, const std::string &prefix, bool keep) {
    const char *keep_env = getenv("MPSIM_KEEP_ROOT");
    keep_ = keep || (keep_env != nullptr && std::string(keep_env) == "1");
    if (!folder.empty()) {
        fs::remove_all(folder);
        fs::create_directories(folder);
        folder_ = fs::absolute(folder).lexically_normal().string();
        return;
    }
    const char *tmp = getenv("TMPDIR");
    std::string templ =
        std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr)
        throw std::runtime_error("mpsim: mkdtemp " + templ + ": " + strerror(errno));
    folder_ = fs::absolute(templ).string();
}

// When the host's share of a time-out has passed, a device with a clock of
// its own says how far that clock got, and the wait goes on for the rest.
bool Target::wait_until(const std::function<bool()> &cond, Ms timeout) {
    using std::chrono::steady_clock;
    const auto start = own_seconds();
    auto end = steady_clock::now() + timeout;
    for (;;) {
        if (cond())
            return true;
        if (steady_clock::now() >= end) {
            const auto now = start ? own_seconds() : std::nullopt;
            const Ms left = now ? timeout - std::chrono::duration_cast<Ms>(
                                                std::chrono::duration<double>(*now - *start))
                                : Ms(0);
            if (left <= Ms(0))
                return cond();
            end = steady_clock::now() + left;
        }
        std::this_thread::sleep_for(poll_step());
    }
}

void Target::pause(Ms d) {
    const auto start = own_seconds();
    if (!start) {
        std::this_thread::sleep_for(d);
        return;
    }
    const double until = *start + static_cast<double>(d.count()) / 1000;
    for (auto now = start; now && *now < until; now = own_seconds())
        std::this_thread::sleep_for(std::min(d, poll_step()));
}

void Target::unsupported(const std::string &what) const {
    throw Unsupported(name() + " cannot " + what);
}

void Target::act(const Action &a) {
    unsupported("do '" + a.name + "'");
}

void Target::release_all_keys() {
    Action a{"release"};
    for (long k = 0; k < long{BOARD_KEY_COUNT}; ++k)
        a.numbers.push_back(k);
    act(a);
}

bool Target::exists(const std::string &device_path) const {
    return read_file(device_path).has_value();
}

std::vector<Frame> Target::frames() const {
    std::vector<Frame> out;
    for (int i = 0, n = frame_count(); i < n; ++i)
        out.push_back(frame(i));
    return out;
}

std::optional<Frame> Target::current_frame() const {
    const int n = frame_count();
    if (n <= 0)
        return std::nullopt;
    return frame(n - 1);
}

size_t Target::recording_frames(int index, unsigned &channels) const {
    if (index >= recording_count())
        return 0;
    const Recording r = recording(index);
    channels = r.channels;
    return r.frames();
}

std::vector<JournalEntry> Target::journal() const {
    std::vector<JournalEntry> all;
    read_journal(all);
    return all;
}

std::vector<JournalEntry> Target::journal(const std::string &op, const std::string &path) const {
    std::vector<JournalEntry> out;
    for (JournalEntry &e : journal())
        if ((op.empty() || e.op == op) && (path.empty() || e.path == path))
            out.push_back(std::move(e));
    return out;
}

bool Target::wait_pushes(int n, Ms timeout) {
    return wait_until([&] { return pushes() >= n; }, timeout);
}

// Each line looked at once: tests poll this often, and copying the whole
// journal each time would slow the program they watch.
bool Target::wait_journal(const std::string &op, const std::string &path, Ms timeout) {
    std::vector<JournalEntry> seen;
    size_t next = 0;
    return wait_until(
        [&] {
            read_journal(seen);
            for (; next < seen.size(); ++next)
                if ((op.empty() || seen[next].op == op) &&
                    (path.empty() || seen[next].path == path))
                    return true;
            return false;
        },
        timeout);
}

}  // namespace mpsim
