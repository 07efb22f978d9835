#pragma once
// The shape of each message of the state channel, for a reader that must not trust what it gets:
// a line is a JSON object whose "type" names a known kind and whose fields have the types that
// kind carries (ui/StateMessages.h). A reader applies only lines that pass.
#include <nlohmann/json.hpp>
#include <optional>

#include "ui/StateMessages.h"

namespace qtx::state {

// Why a line was not applied; the names are the metrics' labels.
enum class LineProblem { NotJson, UnknownKind, WrongType, TooLong };
const char* LineProblemName(LineProblem p);

struct CheckedLine {
    std::optional<MessageKind> Kind;  // set when the line is sound
    LineProblem Problem = LineProblem::NotJson;
};
// m: the parsed line (discarded() when it did not parse).
CheckedLine CheckLine(const nlohmann::json& m);

}  // namespace qtx::state
