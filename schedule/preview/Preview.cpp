#include "schedule/preview/Preview.h"

#include <stdexcept>

namespace qtx::schedule {

PreviewResult RunPreview(const std::string& databasePath, const PreviewOptions&) {
    throw std::runtime_error(databasePath + ": preview is not built yet");
}

std::string FormatPreviewRun(const PreviewRun& run) {
    return run.Line;
}

std::optional<LocalDateTime> ParseDateTime(const std::string&) {
    return std::nullopt;
}

}  // namespace qtx::schedule
