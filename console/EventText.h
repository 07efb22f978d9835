#pragma once
// The event form's JSON text (console/EventJson.h describes the form), written in one pass
// without building a document: a list of every event of a full file is written this way. The
// keys come in sorted order, as a document of the same event would write them, so the text is
// the same either way and an event's version (a fingerprint of the text) does not depend on the
// path that wrote it.
#include <string>
#include <string_view>

#include "schedule/Event.h"

namespace qtx::console {

// text as a JSON string (quotes included). Bytes that are not UTF-8 become U+FFFD, so the text
// is always valid JSON.
void AppendJsonString(std::string& out, std::string_view text);
// The event's object, from "{" to "}".
void AppendEventJson(std::string& out, const schedule::Event& e);
// A short fingerprint of a text: a change by anyone else to an event changes its text's.
std::string Fingerprint(std::string_view text);

}  // namespace qtx::console
