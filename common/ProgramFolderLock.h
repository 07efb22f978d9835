#pragma once
// One engine per program folder. Two engines on one database would both run every event (every
// take, pulse and message twice), so each engine holds an exclusive lock on its program folder
// for as long as it runs; a second one finds it taken and does not start. The lock is on the
// folder itself (flock), so no file is left behind and the kernel releases it when the process
// ends, however it ends.
#include <string>

#include "common/UniqueFd.h"

namespace qtx {

class ProgramFolderLock {
  public:
    // Tries to take the lock on folder; Held() tells whether it was taken, Problem() why not.
    explicit ProgramFolderLock(const std::string& folder);
    ProgramFolderLock(const ProgramFolderLock&) = delete;
    ProgramFolderLock& operator=(const ProgramFolderLock&) = delete;

    bool Held() const { return fd_.Valid(); }
    // The operator's text when the lock was not taken.
    const std::string& Problem() const { return problem_; }

  private:
    UniqueFd fd_;  // the locked folder; the lock goes with it
    std::string problem_;
};

}  // namespace qtx
