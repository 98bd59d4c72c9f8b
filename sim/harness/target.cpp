// What every device offers built on its own primitives, and what a device
// cannot do unless it says otherwise.
#include "mpsim/target.h"

namespace mpsim {

void Target::unsupported(const std::string &what) const {
    throw Unsupported(name() + " cannot " + what);
}

void Target::release_all_keys() {
    for (const auto &key : board_keys)
        set_gpio_level(key.gpio, 1);
}

void Target::remove_gpio_line(unsigned) {
    unsupported("remove a GPIO line: the board module registers its lines as the board has them");
}
void Target::step_wall_clock(int, int) {
    unsupported("step the wall clock after a number of calls of time()");
}
void Target::make_unwritable(const std::string &) {
    unsupported("make a device file read-only: root writes what the kernel lets it");
}
void Target::refuse_writes(const std::string &, int, int) {
    unsupported("refuse writes to a device file: the kernel's drivers answer for themselves");
}
void Target::fail_sound_open(int) {
    unsupported("make the sound card fail to open");
}
void Target::request_underruns(int) {
    unsupported("make the sound card underrun on demand");
}
void Target::fail_sound_writes(int, int) {
    unsupported("make the sound card's writes fail");
}
void Target::suspend_sound(int) {
    unsupported("suspend the sound card");
}
void Target::trap(const std::string &, const std::string &, int, int) {
    unsupported("trap a file operation with a signal");
}
void Target::slow_writes(const std::string &, int) {
    unsupported("slow down writes: the kernel's drivers take the time they take");
}
void Target::journal_reads(unsigned) {
    unsupported("journal the reads of a value file");
}
std::optional<unsigned> Target::file_mode(const std::string &) const {
    unsupported("report a file's mode");
}
void Target::start(const std::vector<std::string> &, const std::vector<std::string> &) {
    unsupported("start a program of one's choosing: its start script starts the firmware");
}
std::optional<double> Target::cpu_seconds() const {
    unsupported("measure the program's processor time");
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

bool Target::wait_frame(const std::function<bool(const Frame &)> &pred, Ms timeout) {
    int next = 0;
    return wait_until(
        [&] {
            for (int n = frame_count(); next < n; ++next)
                if (pred(frame(next)))
                    return true;
            return false;
        },
        timeout);
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
