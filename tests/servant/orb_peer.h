// A client ORB for tests, started once per test program, and a servant that
// records what it receives, for calls within one process.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "pyxo_corba.h"

CORBA::ORB_ptr test_orb();

class recording_servant : public POA_PYXO::servant {
  public:
    void daemon_attached(CORBA::Long pid) override;
    void media_changed(const PYXO::media_ST &media) override;
    void servant_remote_command(PYXO::servant::Cmd cmd) override;
    // Waits until `n` calls have arrived; returns what arrived, one line each.
    std::vector<std::string> wait_for(size_t n, int timeout_ms);

  private:
    void record(const std::string &line);
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::string> calls;
};

// Activates `impl` in the root POA and returns its IOR.
std::string activate(recording_servant *impl);
