#include "board_rules.h"

#include "mpsim/board.h"
#include "run.h"

namespace mpsim {

void HandOffRules::before_start(Run &r) {
    porch_before_ = r.target().read_file(BOARD_PORCH_FILE);
}

// Every key GPIO the program exported unexported, "gpio-keys.7" bound after
// the last of them and before the finish script started (or: the finish
// script never started), no key GPIO left exported and the driver bound.
void HandOffRules::keys_given_back(Run &r, bool finish_ran, bool finish_visible,
                                   const std::function<void(const std::string &)> &fail) const {
    Target &dev = r.target();
    const auto &j = r.journal();
    auto last = [&](const char *path, const std::string &bytes,
                    bool taken) -> std::optional<size_t> {
        for (size_t i = j.size(); i-- > 0;)
            if (j[i].op == "write" && j[i].path == path &&
                std::string(j[i].bytes.begin(), j[i].bytes.end()) == bytes && (!taken || j[i].ok()))
                return i;
        return std::nullopt;
    };
    // The bind counts whatever the driver answered: one that was never
    // unbound refuses it (EBUSY), and the driver bound at the end is what
    // matters.
    const auto bind = last(BOARD_KEYS_BIND, BOARD_KEYS_DEVICE, false);
    if (!bind)
        fail(std::string("\"") + BOARD_KEYS_DEVICE + "\" was never written to " + BOARD_KEYS_BIND);
    for (const auto &key : board_keys) {
        const std::string n = std::to_string(key.gpio);
        if (!last(BOARD_GPIO_EXPORT, n, true))
            continue;
        const auto unexported = last(BOARD_GPIO_UNEXPORT, n, true);
        if (!unexported)
            fail("key GPIO " + n + " was exported and never unexported");
        else if (bind && *unexported > *bind)
            fail("key GPIO " + n + " was unexported (journal line " +
                 std::to_string(*unexported + 1) + ") after the bind (line " +
                 std::to_string(*bind + 1) + ")");
    }
    for (const auto &key : board_keys)
        if (dev.gpio_exported(static_cast<unsigned>(key.gpio)))
            fail("key GPIO " + std::to_string(key.gpio) + " is still exported");
    if (!dev.keys_bound())
        fail("the key driver is not bound at the end");
    if (!finish_visible)
        return;
    const auto started = r.finish_started();
    if (!finish_ran && started)
        fail("the finish script started (journal line " + std::to_string(*started + 1) + ")");
    if (finish_ran && !started)
        fail("the finish script did not start");
    if (finish_ran && started && bind && *started < *bind)
        fail("the finish script started (journal line " + std::to_string(*started + 1) +
             ") before the keys were bound (line " + std::to_string(*bind + 1) + ")");
}

void HandOffRules::check(Run &r, const Scenario &sc, bool porch_checked,
                         const std::function<void(const std::string &)> &fail) const {
    const Ends ends = sc.ends;
    // With `args` no finish script of mp-sim's making runs: its start cannot
    // be seen.
    if (ends == Ends::HandOff || ends == Ends::Signal)
        keys_given_back(r, ends == Ends::HandOff, !sc.setup.args, fail);
    if ((ends == Ends::HandOff || ends == Ends::Signal || ends == Ends::Running) &&
        !porch_checked) {
        const auto now = r.target().read_file(BOARD_PORCH_FILE);
        if (now != porch_before_)
            fail(std::string("the porch file ") + BOARD_PORCH_FILE + " " +
                 (now ? "holds '" + escape_bytes(*now) + "'" : std::string("is gone")) +
                 ", it held " +
                 (porch_before_ ? "'" + escape_bytes(*porch_before_) + "'"
                                : std::string("nothing (missing)")) +
                 " (an expect-file line says when a store is meant)");
    }
}

}  // namespace mpsim
