#pragma once
// The engine's word with its group of engines (main and backup): whether this engine may run an
// occurrence now, and what became of one another member ran. An engine whose folder holds no
// group file has no gate and runs alone, exactly as before.
//
// Threading: the gate keeps its membership (lease, leadership, the claims it has seen) on a
// thread of its own. Every call here is made on the engine's thread and returns at once, except
// Claim, which waits for one etcd transaction and never past the moment the lease could expire.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ui/StateMessages.h"

namespace qtx::cluster {

// The role values travel on the state channel, so they are defined with its messages.
using Role = state::ClusterRole;
using RoleState = state::RoleState;

// The marking an occurrence's run consumed; the other members apply it to their own files.
enum class Marking { None, Skip, OneTime };

// One weekly occurrence: the event's Number, the local date it falls on (days since 1970-01-01)
// and its second of that day.
struct Occurrence {
    int32_t Number = 0;
    int64_t Day = 0;
    int32_t Second = 0;
    bool operator==(const Occurrence&) const = default;
};

enum class ClaimOutcome {
    Claimed,         // this member holds the occurrence: it runs it
    AlreadyClaimed,  // another run holds it: ClaimOf says whose and what it consumed
    NotLeader,  // not the leader, or the lease may have expired, or etcd did not answer in time
};

struct ClaimRecord {
    std::string Node;  // the member that claimed it
    Marking Consumed = Marking::None;
    bool Finished = false;  // the claimer reported the run ended (false: it may have died mid-run)
    std::string Title;      // the event's title as the claimer had it
};

// A claim another member made and never finished, found when this member became leader: the
// run is not made again (its first commands may have gone out); the engine reports it.
struct UnfinishedClaim {
    Occurrence Of;
    ClaimRecord Claim;
};

// A change of the group's schedule this member's file took from the group: an event that
// differed when it joined, or its own change that lost to another member's made at the same time.
struct ScheduleNotice {
    int32_t Number = 0;  // the event's (0: not an event)
    std::string What;    // "event 12 \"Morning feed\"", "calendar uk", "alarm routes", "settings"
    std::string Mine;    // this member's version, in words
    std::string Theirs;  // the group's version, which is now in this file
    bool Overwritten = false;  // true: this member's change lost to a concurrent one
};

class RunGate {
  public:
    virtual ~RunGate() = default;

    // The role as of now. Cheap: the engine reads it every tick.
    virtual RoleState CurrentRole() const = 0;
    // Leader only: claims the occurrence in one transaction that holds only while this member
    // still has the leadership it won and nobody claimed the occurrence; consumed is the marking
    // the run will consume. Made at the run's due time, never ahead of it.
    virtual ClaimOutcome Claim(const Occurrence& of, Marking consumed, std::string_view title) = 0;
    // The run of a claimed occurrence ended (its last command was handed to the links). Never
    // waits: the record is written from the gate's thread.
    virtual void Finished(const Occurrence& of) = 0;
    // The claim of an occurrence as this member has seen it (any role), without waiting.
    virtual std::optional<ClaimRecord> ClaimOf(const Occurrence& of) const = 0;
    // True while this member is leader and its lease cannot yet have expired, by its own
    // monotonic clock. Asked before every command of a run.
    virtual bool MaySend() const = 0;
    // Claims left unfinished by earlier leaders, found since the last call (each once).
    virtual std::vector<UnfinishedClaim> TakeUnfinished() = 0;
    // Changes of the group's schedule written into this member's file that it must report
    // (each once).
    virtual std::vector<ScheduleNotice> TakeScheduleNotices() { return {}; }
    // The switcher link as the engine sees it now (connected and the switcher online), and how
    // many seconds it may stay down before a leader gives the leadership to a member whose link
    // is up (LinkAlarmAfter). Called every tick; never waits. Until the first call the link
    // counts as up.
    virtual void ReportLink(bool up, int giveUpAfterSeconds) {
        (void)up;
        (void)giveUpAfterSeconds;
    }
};

// The gate of the engine in programDir: none when the folder holds no qtx-cluster.conf. A file
// that is present but wrong gives a gate in NoLeader with the fault as its reason, which reads
// the file again when it changes.
std::unique_ptr<RunGate> OpenGroup(const std::string& programDir);

inline constexpr const char* kGroupFileName = "qtx-cluster.conf";

}  // namespace qtx::cluster
