#pragma once
// The group file, qtx-cluster.conf: `key = value` lines, `#` to the end of a line a comment.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qtx::cluster {

inline constexpr int kLeaseMin = 2, kLeaseMax = 10, kLeaseDefault = 3;

struct GroupConfig {
    std::string Group;              // keys live under qtx/GROUP/
    std::string Node;               // this member's name, unique in the group
    std::vector<std::string> Etcd;  // client URLs, http:// or https://
    int Lease = kLeaseDefault;      // seconds
    std::string TlsCa, TlsCert, TlsKey;
    bool operator==(const GroupConfig&) const = default;
};

// The settings, or what is wrong with the file (the WHAT of "qtx-cluster.conf: WHAT").
struct GroupFile {
    std::optional<GroupConfig> Config;
    std::string Fault;
};

GroupFile ParseGroupFile(std::string_view text);
// The file at path; "unreadable" when it cannot be read.
GroupFile ReadGroupFile(const std::string& path);

// Letters, digits, '-' and '_', at least one.
bool IsGroupName(std::string_view name);

}  // namespace qtx::cluster
