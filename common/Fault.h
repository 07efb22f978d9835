#pragma once
// The fault every handler catches: a number and a description, like the run-time error object of
// the old engine. Numbers are listed per facility in FaultNumbers.h.
#include <cstdint>
#include <stdexcept>
#include <string>

namespace qtx {

class Fault : public std::runtime_error {
  public:
    Fault(int32_t number, const std::string& description)
        : std::runtime_error(description), Number(number), Description(description) {}

    int32_t Number;
    std::string Description;
};

// Number and description of the fault being handled right now (inside a catch block).
// Outside a handler it gives 0 and an empty description. Any std::exception counts, with the
// number of an internal error.
struct FaultInFlight {
    int32_t Number = 0;
    std::string Description;
};
FaultInFlight CurrentFault();

}  // namespace qtx
