// Opening the group of the engine's folder.
#include <filesystem>

#include "cluster/RunGate.h"

namespace qtx::cluster {

std::unique_ptr<RunGate> OpenGroup(const std::string& programDir) {
    std::error_code ec;
    if (!std::filesystem::exists(std::filesystem::path(programDir) / kGroupFileName, ec))
        return nullptr;
    return nullptr;  // membership on etcd: built next
}

}  // namespace qtx::cluster
