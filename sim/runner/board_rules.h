// What this board's factory test must leave behind when it hands over to the
// normal application: the keys back with their kernel driver before the
// finish script starts, and the stored porch as it was unless a store was
// meant. The runner checks these after every scenario, on every device.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "scenario.h"

namespace mpsim {

class Run;

class HandOffRules {
  public:
    // Just before the program starts: what must be as it was.
    void before_start(Run &r);
    // After the last line. `fail` takes each rule broken.
    void check(Run &r, const Scenario &sc, bool porch_checked,
               const std::function<void(const std::string &)> &fail) const;

  private:
    void keys_given_back(Run &r, bool finish_ran, bool finish_visible,
                         const std::function<void(const std::string &)> &fail) const;
    std::optional<std::string> porch_before_;
};

}  // namespace mpsim
