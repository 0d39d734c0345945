#pragma once

#include <chrono>
#include <string>

#include "tests/shell/ProcessTestSupport.h"

namespace tobble::testing {

// A session bus of the test's own: `dbus-daemon --session` started for the fixture and stopped
// with it, so no test touches the desktop's bus. address() is empty when it could not start.
class PrivateSessionBus {
  public:
    PrivateSessionBus() {
        // The daemon prints its address, in one write, once it listens.
        if (!daemon_.waitForOutput("unix:", std::chrono::seconds(10))) return;
        const std::string& output = daemon_.output();
        const auto begin = output.find("unix:");
        address_ = output.substr(begin, output.find('\n', begin) - begin);
    }

    const std::string& address() const { return address_; }

  private:
    shell::testing::ChildProcess daemon_{
        "dbus-daemon", {}, {"--session", "--nofork", "--print-address=1"}};
    std::string address_;
};

}  // namespace tobble::testing
