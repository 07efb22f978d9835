#pragma once
// The event options of qtx-eventdb (add, edit, and the event form of CSV): each option changes
// one part of an event, so `edit` changes exactly what it is given.
//   --number N  --title TEXT  --days SET  --at hh:mm:ss|none
//   --take S:D  --sum-on S:D  --sum-off S:D  --salvo N  --relay latch|release|pulse:N
//   --gain source|destination:CHANNEL:GAIN  --when-on S:D  --when-off S:D
//   --message ip:ADDRESS:PORT | serial:PORT:BAUDCODE | switcher:FRAME:SLOT:PORT
//   --text TEXT  --file PATH  --active  --inactive  --skip-next  --once
//   --no-crosspoint --no-salvo --no-relay --no-gain --no-message --no-condition
//   --from DATE --until DATE --every-weeks N --week-of DATE --except NAME[,NAME]
//   --only NAME[,NAME] --latest hh:mm:ss, and --no-from ... --no-latest to clear them
// The values are only parsed here; whether they are allowed is for the rules of schedule/.
#include <stdexcept>
#include <string>
#include <vector>

#include "schedule/Event.h"

namespace qtx {

// A malformed option or value; the text names the option and the form expected.
struct OptionError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Applies the options to e, in order. Options may be written "--name VALUE" or "--name=VALUE".
// creating: an event made from nothing must have --title, --days and --at.
void ApplyEventOptions(const std::vector<std::string>& options, schedule::Event& e, bool creating);

// True when args holds an option of the event form (so `add` takes the event form).
bool HasEventOption(const std::vector<std::string>& args);

// The text of --help that describes the event options.
extern const char* const EventOptionsHelp;

}  // namespace qtx
