#pragma once
// The gate of a program folder that holds a group file: membership of the group on etcd.
//
// Keys under qtx/GROUP/:
//   leader                          the leader's node name, put with its lease, only while
//                                   nobody holds it (so the leader is whoever holds the key)
//   claims/YYYY-MM-DD/SSSSS/NUMBER  one occurrence's claim: JSON {node, lease, consumed, title,
//                                   finished, reported}; sorted by date, so the week-old ones
//                                   go in one range deletion
//   members/NODE                    JSON {link: "up"|"down"}, put with the member's lease: the
//                                   live members and whether each can switch
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <stop_token>
#include <thread>

#include "cluster/Etcd.h"
#include "cluster/GroupFile.h"
#include "cluster/GroupSchedule.h"
#include "cluster/RunGate.h"

namespace qtx::cluster {

// A leader stops sending this long before its lease could expire by its own clock: room for
// the clocks of etcd's members and this machine running at slightly different rates, and for the
// time a command takes to leave once MaySend said yes.
inline constexpr std::chrono::milliseconds kFenceMargin{500};
// How often a member reads the leader key and the recent claims.
inline constexpr std::chrono::milliseconds kPollEvery{200};
// How often the group file is looked at for a change.
inline constexpr std::chrono::milliseconds kFileCheckEvery{1000};
// Claims older than this many days are removed by the leader.
inline constexpr int kClaimDays = 7;

class Membership final : public RunGate {
  public:
    explicit Membership(std::string groupFilePath);
    ~Membership() override;
    Membership(const Membership&) = delete;
    Membership& operator=(const Membership&) = delete;

    RoleState CurrentRole() const override;
    ClaimOutcome Claim(const Occurrence& of, Marking consumed, std::string_view title) override;
    void Finished(const Occurrence& of) override;
    std::optional<ClaimRecord> ClaimOf(const Occurrence& of) const override;
    bool MaySend() const override;
    std::vector<UnfinishedClaim> TakeUnfinished() override;
    std::vector<ScheduleNotice> TakeScheduleNotices() override;
    void ReportLink(bool up, int giveUpAfterSeconds) override;

  private:
    using Clock = etcd::Clock;
    struct Seen {  // a claim as read back
        ClaimRecord Record;
        int64_t Lease = 0;
        bool Reported = false;
    };
    struct Key {
        int64_t Day;
        int32_t Second, Number;
        auto operator<=>(const Key&) const = default;
    };
    static Key KeyOf(const Occurrence& o) { return {o.Day, o.Second, o.Number}; }

    // The gate's thread.
    void Run(std::stop_token stop);
    void CheckFile();
    void Leave();  // revokes the lease, forgets the group
    void Step(std::stop_token stop);
    bool Renew(std::stop_token stop);
    void Poll(std::stop_token stop);
    void Observe(const nlohmann::json& leaderKv, std::stop_token stop);
    void TakeOver(int64_t createRevision, std::stop_token stop);
    void WriteFinished(std::stop_token stop);
    void RemoveOldClaims(std::stop_token stop);
    void Failed(const etcd::Reply& r);
    void SetRole(Role role, std::string leader, std::string reason);
    // The switcher link: publishing this member's, stepping aside for a member that can switch.
    bool LinkUp() const { return linkDownSince_.load() == 0; }
    bool LinkDownTooLong() const;
    void PublishLink(std::stop_token stop);
    void ReadMembers(const nlohmann::json& kvs);
    void StepAside(std::stop_token stop);
    void ReadClaims(const nlohmann::json& kvs, bool takeUnfinished);

    static std::string ClaimKey(const std::string& group, const Occurrence& o);
    static std::optional<Occurrence> ParseClaimKey(std::string_view afterPrefix);
    static nlohmann::json ClaimValue(const Seen& s);
    static Seen ParseValue(const std::string& text);
    std::string ClaimsPrefix() const { return "qtx/" + config_.Group + "/claims/"; }
    std::string LeaderKey() const { return "qtx/" + config_.Group + "/leader"; }
    std::string MembersPrefix() const { return "qtx/" + config_.Group + "/members/"; }
    Clock::time_point CallDeadline() const;
    Clock::duration LeaseLength() const { return std::chrono::seconds(leaseSeconds_.load()); }

    const std::string path_;

    // Set by the thread, read by every call.
    mutable std::mutex mu_;
    RoleState role_;
    std::string lastFault_;
    std::map<Key, Seen> claims_;
    std::vector<UnfinishedClaim> unfinished_;
    std::vector<Occurrence> toFinish_;
    std::set<Key> uncertain_;  // our claims whose transaction's answer never came
    std::atomic<bool> leading_{false};
    std::atomic<int64_t> fenceUntil_{0};   // steady ns: MaySend holds before this
    std::atomic<int64_t> lastContact_{0};  // steady ns of etcd's last answer
    std::atomic<int64_t> wonRevision_{0};  // the leader key's create_revision we won
    std::atomic<int64_t> lease_{0};        // our lease id
    std::atomic<int> leaseSeconds_{kLeaseDefault};
    // The switcher link, as the engine last reported it.
    std::atomic<int64_t> linkDownSince_{0};  // steady ns the link went down; 0 while it is up
    std::atomic<int> giveUpAfterS_{10};      // LinkAlarmAfter
    std::atomic<bool> othersUp_{false};      // another live member's link is up
    std::atomic<bool> stepping_{false};      // the leader is handing over: no new claim
    std::atomic<int> running_{0};            // claimed runs not yet finished

    // Claim's own connection (it runs on the engine's thread), and the group it claims in.
    std::mutex claimMu_;
    std::unique_ptr<etcd::Client> claimClient_;
    GroupConfig claimConfig_;
    // The group's schedule in this member's file (see GroupSchedule.h), kept on a thread of its
    // own: replaced under claimMu_ by the membership's thread, which reads only CaughtUp; Claim
    // asks it for a marking's transaction.
    std::unique_ptr<GroupSchedule> schedule_;

    // The thread's own.
    GroupConfig config_;
    bool member_ = false;  // config_ holds a valid group
    struct FileId {
        int64_t Mtime = 0, Size = -1, Inode = 0;
        bool Present = false;
        bool operator==(const FileId&) const = default;
    } fileId_;
    std::unique_ptr<etcd::Client> client_;
    Clock::time_point nextRenew_{}, nextPoll_{}, nextFileCheck_{};
    int64_t claimsRevision_ = 0;     // claims changed after this revision are read next
    int64_t observedLeaderRev_ = 0;  // the leader key's create_revision last seen
    int64_t lastCleanupDay_ = INT64_MIN;
    int64_t publishedLease_ = 0;  // the lease our members key was last put with
    bool publishedUp_ = false;
    Clock::time_point steppingSince_{};
    std::condition_variable_any wake_;

    std::jthread thread_;  // last: started once everything above exists
};

}  // namespace qtx::cluster
