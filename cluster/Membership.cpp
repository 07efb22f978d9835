// Membership of a group on etcd, from the gate's own thread; claims from the engine's.
#include "cluster/Membership.h"

#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>

#include "common/Constants.h"
#include "common/DateTime.h"
#include "common/LocalTime.h"

namespace qtx::cluster {

namespace {

using nlohmann::json;
using std::chrono::milliseconds;

using etcd::At;
using etcd::Get;

// The kvs of the i-th response of a transaction's answer.
const json& TxnKvs(const json& body, size_t i) {
    return Get(Get(At(Get(body, "responses"), i), "response_range"), "kvs");
}

int64_t Ns(etcd::Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

int64_t Today() {
    const int64_t ms = std::chrono::duration_cast<milliseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    const LocalDateTime t = LocalTimeAt(ms);
    return DaysFromCivil(t.Year, t.Month, t.Day);
}

std::string DateText(int64_t day) {
    int y = 0, m = 0, d = 0;
    CivilFromDays(day, y, m, d);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, m, d);
    return buf;
}

const char* MarkingName(Marking m) {
    return m == Marking::Skip ? "skip" : m == Marking::OneTime ? "one-time" : "none";
}

Marking MarkingFrom(const std::string& s) {
    return s == "skip" ? Marking::Skip : s == "one-time" ? Marking::OneTime : Marking::None;
}

json Compare(const std::string& key, const char* target, const char* field, int64_t value) {
    return {{"target", target},
            {"key", etcd::Base64(key)},
            {"result", "EQUAL"},
            {field, std::to_string(value)}};
}

}  // namespace

Membership::Membership(std::string groupFilePath) : path_(std::move(groupFilePath)) {
    role_ = {Role::NoLeader, {}, "qtx-cluster.conf: unreadable", 0};
    CheckFile();
    nextFileCheck_ = Clock::now() + kFileCheckEvery;
    thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
}

Membership::~Membership() {
    thread_.request_stop();
    if (thread_.joinable())
        thread_.join();
}

// ---- the engine's side ----

RoleState Membership::CurrentRole() const {
    RoleState s;
    std::string fault;
    {
        std::lock_guard g(mu_);
        s = role_;
        fault = lastFault_;
    }
    const bool stale =
        (s.Role == Role::Leader && !MaySend()) ||
        (s.Role == Role::Standby &&
         Ns(Clock::now()) - lastContact_.load() >
             std::chrono::duration_cast<std::chrono::nanoseconds>(LeaseLength()).count());
    if (stale) {
        s.Role = Role::NoLeader;
        s.Leader.clear();
        s.Reason = fault.empty() ? "etcd does not answer" : fault;
    }
    return s;
}

bool Membership::MaySend() const {
    return leading_.load() && Ns(Clock::now()) < fenceUntil_.load();
}

ClaimOutcome Membership::Claim(const Occurrence& of, Marking consumed, std::string_view title) {
    if (!MaySend())
        return ClaimOutcome::NotLeader;
    // A leader that cannot switch while another member can holds the occurrence rather than
    // claim it and refuse it: the member that can switch runs it once it leads, or this one
    // does, late, should its link come back first.
    if (!LinkUp() && othersUp_.load())
        return ClaimOutcome::NotLeader;
    const Key k = KeyOf(of);
    {
        std::lock_guard g(mu_);
        if (claims_.count(k) && !uncertain_.count(k))
            return ClaimOutcome::AlreadyClaimed;
    }
    std::lock_guard c(claimMu_);
    if (!claimClient_ || stepping_.load())  // under claimMu_: StepAside waits for this claim
        return ClaimOutcome::NotLeader;
    const Seen mine{{claimConfig_.Node, consumed, false, std::string(title)}, lease_.load(), false};
    const std::string key = ClaimKey(claimConfig_.Group, of);
    const std::string leaderKey = "qtx/" + claimConfig_.Group + "/leader";
    json success = {
        {{"request_put",
          {{"key", etcd::Base64(key)}, {"value", etcd::Base64(ClaimValue(mine).dump())}}}}};
    // The marking consumed in the group's schedule by the same transaction, while the event is
    // as this member last saw it (else the concurrent edit stands and the marking goes with it).
    const std::optional<json> consume =
        schedule_ ? schedule_->ConsumeTxn(of.Number, consumed) : std::nullopt;
    if (consume)
        success.push_back(*consume);
    const json body = {{"compare",
                        {Compare(leaderKey, "CREATE", "create_revision", wonRevision_.load()),
                         Compare(key, "CREATE", "create_revision", 0)}},
                       {"success", success},
                       {"failure", {{{"request_range", {{"key", etcd::Base64(key)}}}}}}};
    // Never past the moment the lease could expire: after it, the claim proves nothing.
    const etcd::Clock::time_point deadline{std::chrono::nanoseconds(fenceUntil_.load())};
    const etcd::Reply r = claimClient_->Call("/v3/kv/txn", body, deadline);
    std::lock_guard g(mu_);
    if (!r) {
        if (r.Failed != etcd::Fault::Refused)
            uncertain_.insert(k);  // it may have been applied: the thread will see
        return ClaimOutcome::NotLeader;
    }
    if (Get(r.Body, "succeeded") == true) {
        if (consume &&
            Get(Get(At(Get(r.Body, "responses"), 1), "response_txn"), "succeeded") == true)
            schedule_->Consumed(of.Number, consumed, etcd::Int(Get(r.Body, "header"), "revision"));
        uncertain_.erase(k);
        claims_[k] = mine;
        ++running_;
        return ClaimOutcome::Claimed;
    }
    const json& kvs = TxnKvs(r.Body, 0);
    if (kvs.is_array() && !kvs.empty()) {
        const Seen got = ParseValue(etcd::Unbase64(Get(kvs[0], "value").get<std::string>()));
        claims_[k] = got;
        // Our own transaction of a try that timed out (or of an earlier member tried within
        // this call) was applied after all.
        const bool ours = got.Lease == mine.Lease && got.Record.Node == mine.Record.Node;
        if (ours && (uncertain_.erase(k) > 0 || r.Retried)) {
            ++running_;
            return ClaimOutcome::Claimed;
        }
        return ClaimOutcome::AlreadyClaimed;
    }
    leading_ = false;  // the leader key is no longer the one this member won
    return ClaimOutcome::NotLeader;
}

void Membership::Finished(const Occurrence& of) {
    std::lock_guard g(mu_);
    toFinish_.push_back(of);
    if (running_.load() > 0)
        --running_;
}

void Membership::ReportLink(bool up, int giveUpAfterSeconds) {
    giveUpAfterS_ = giveUpAfterSeconds;
    if (up)
        linkDownSince_ = 0;
    else if (linkDownSince_.load() == 0)
        linkDownSince_ = Ns(Clock::now());
}

std::optional<ClaimRecord> Membership::ClaimOf(const Occurrence& of) const {
    std::lock_guard g(mu_);
    const auto it = claims_.find(KeyOf(of));
    if (it == claims_.end())
        return std::nullopt;
    return it->second.Record;
}

std::vector<UnfinishedClaim> Membership::TakeUnfinished() {
    std::lock_guard g(mu_);
    std::vector<UnfinishedClaim> out;
    out.swap(unfinished_);
    return out;
}

std::vector<ScheduleNotice> Membership::TakeScheduleNotices() {
    std::lock_guard c(claimMu_);
    return schedule_ ? schedule_->TakeNotices() : std::vector<ScheduleNotice>{};
}

// ---- keys and values ----

std::string Membership::ClaimKey(const std::string& group, const Occurrence& o) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "/%05d/%d", static_cast<int>(o.Second),
                  static_cast<int>(o.Number));
    return "qtx/" + group + "/claims/" + DateText(o.Day) + buf;
}

std::optional<Occurrence> Membership::ParseClaimKey(std::string_view rest) {
    int y = 0, m = 0, d = 0, second = 0, number = 0, used = 0;
    const std::string s(rest);
    if (std::sscanf(s.c_str(), "%4d-%2d-%2d/%5d/%d%n", &y, &m, &d, &second, &number, &used) != 5 ||
        used != static_cast<int>(s.size()))
        return std::nullopt;
    return Occurrence{number, DaysFromCivil(y, m, d), second};
}

json Membership::ClaimValue(const Seen& s) {
    return {{"node", s.Record.Node},
            {"lease", std::to_string(s.Lease)},
            {"consumed", MarkingName(s.Record.Consumed)},
            {"title", s.Record.Title},
            {"finished", s.Record.Finished},
            {"reported", s.Reported}};
}

Membership::Seen Membership::ParseValue(const std::string& text) {
    const json v = json::parse(text, nullptr, false);
    Seen s;
    if (!v.is_object())
        return s;
    s.Record.Node = v.value("node", "");
    s.Record.Consumed = MarkingFrom(v.value("consumed", ""));
    s.Record.Title = v.value("title", "");
    s.Record.Finished = v.value("finished", false);
    s.Reported = v.value("reported", false);
    s.Lease = etcd::Int(v, "lease");
    return s;
}

// ---- the gate's thread ----

void Membership::Run(std::stop_token stop) {
    std::mutex waitMu;
    while (!stop.stop_requested()) {
        if (Clock::now() >= nextFileCheck_) {
            CheckFile();
            nextFileCheck_ = Clock::now() + kFileCheckEvery;
        }
        if (member_)
            Step(stop);
        Clock::time_point next = nextFileCheck_;
        if (member_)
            next = std::min({next, nextRenew_, nextPoll_});
        std::unique_lock lock(waitMu);
        wake_.wait_until(lock, stop, next, [] { return false; });
    }
    Leave();
}

void Membership::CheckFile() {
    struct stat st {};
    FileId id;
    if (::stat(path_.c_str(), &st) == 0)
        id = {static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
              static_cast<int64_t>(st.st_size), static_cast<int64_t>(st.st_ino), true};
    if (id == fileId_)
        return;
    fileId_ = id;
    // A file that went away leaves the engine out of the group rather than alone: running
    // alone beside the others would run their events twice.
    GroupFile f = id.Present && S_ISREG(st.st_mode) ? ReadGroupFile(path_)
                                                    : GroupFile{std::nullopt, "unreadable"};
    if (!f.Config) {
        Leave();
        SetRole(Role::NoLeader, {}, "qtx-cluster.conf: " + f.Fault);
        return;
    }
    if (member_ && *f.Config == config_)
        return;
    Leave();
    config_ = std::move(*f.Config);
    leaseSeconds_ = config_.Lease;
    const milliseconds perTry = etcd::PerTryTimeout(config_.Lease);
    const etcd::Tls tls{config_.TlsCa, config_.TlsCert, config_.TlsKey};
    client_ = std::make_unique<etcd::Client>(config_.Etcd, tls, perTry);
    const std::string dir = path_.substr(0, path_.find_last_of('/') + 1);
    auto schedule = std::make_unique<GroupSchedule>(dir + constants::DatabaseFileName, config_);
    {
        std::lock_guard c(claimMu_);
        claimClient_ = std::make_unique<etcd::Client>(config_.Etcd, tls, perTry);
        claimConfig_ = config_;
        schedule_ = std::move(schedule);
    }
    {
        std::lock_guard g(mu_);
        claims_.clear();
        uncertain_.clear();
        lastFault_.clear();
    }
    claimsRevision_ = 0;
    observedLeaderRev_ = 0;
    lastCleanupDay_ = INT64_MIN;
    nextRenew_ = nextPoll_ = Clock::now();
    member_ = true;
    SetRole(Role::NoLeader, {}, "campaign not yet decided");
}

void Membership::Leave() {
    leading_ = false;
    fenceUntil_ = 0;
    // The schedule's thread stops outside claimMu_: a round may be waiting for a busy file.
    std::unique_ptr<GroupSchedule> schedule;
    {
        std::lock_guard c(claimMu_);
        schedule.swap(schedule_);
    }
    schedule.reset();
    if (member_ && lease_.load() != 0 && client_) {
        // Revoking the lease deletes the leader key at once: a standby need not wait it out.
        client_->Call("/v3/lease/revoke", {{"ID", std::to_string(lease_.load())}},
                      Clock::now() + milliseconds(500));
    }
    lease_ = 0;
    wonRevision_ = 0;
    member_ = false;
    publishedLease_ = 0;
    stepping_ = false;
    running_ = 0;
    othersUp_ = false;
}

etcd::Clock::time_point Membership::CallDeadline() const {
    return Clock::now() + LeaseLength() / 2;
}

void Membership::Step(std::stop_token stop) {
    const auto now = Clock::now();
    if ((lease_.load() == 0 || now >= nextRenew_) && !Renew(stop))
        return;
    PublishLink(stop);
    if (now >= nextPoll_) {
        nextPoll_ = now + kPollEvery;
        Poll(stop);
    }
    if (stepping_.load() || (leading_.load() && LinkDownTooLong() && othersUp_.load()))
        StepAside(stop);
    WriteFinished(stop);
    if (leading_.load() && Today() != lastCleanupDay_)
        RemoveOldClaims(stop);
}

bool Membership::Renew(std::stop_token stop) {
    const auto sent = Clock::now();
    int64_t ttl = 0;
    if (lease_.load() == 0) {
        const etcd::Reply r =
            client_->Call("/v3/lease/grant", {{"TTL", config_.Lease}}, CallDeadline(), stop);
        if (!r || etcd::Int(r.Body, "ID") == 0) {
            Failed(r);
            nextRenew_ = Clock::now() + milliseconds(200);
            return false;
        }
        lease_ = etcd::Int(r.Body, "ID");
        ttl = etcd::Int(r.Body, "TTL");
    } else {
        const etcd::Reply r = client_->Call(
            "/v3/lease/keepalive", {{"ID", std::to_string(lease_.load())}}, CallDeadline(), stop);
        if (!r) {
            Failed(r);
            nextRenew_ = Clock::now() + milliseconds(100);
            return false;
        }
        ttl = etcd::Int(Get(r.Body, "result"), "TTL");
        if (ttl <= 0) {  // etcd let the lease expire: a new one, and a new campaign
            leading_ = false;
            fenceUntil_ = 0;
            lease_ = 0;
            SetRole(Role::NoLeader, {}, "lease expired");
            nextRenew_ = Clock::now();
            return false;
        }
    }
    // etcd counts the lease from when it handled the request, which is after it was sent: the
    // send time is the safe side.
    fenceUntil_ = Ns(sent + std::chrono::seconds(ttl) - kFenceMargin);
    lastContact_ = Ns(Clock::now());
    nextRenew_ = sent + LeaseLength() / 3;
    return true;
}

void Membership::Poll(std::stop_token stop) {
    // The leader key and the claims changed since the last poll, in one read. Polling rather
    // than a watch: one short request every 200 ms fails over across members like every other
    // call, where a watch's stream must be re-established and resumed by revision.
    const int64_t today = Today();
    const std::string prefix = ClaimsPrefix();
    const json body = {{"success",
                        {{{"request_range", {{"key", etcd::Base64(LeaderKey())}}}},
                         {{"request_range",
                           {{"key", etcd::Base64(prefix + DateText(today - 1))},
                            {"range_end", etcd::Base64(etcd::PrefixEnd(prefix))},
                            {"min_mod_revision", std::to_string(claimsRevision_ + 1)}}}},
                         {{"request_range",
                           {{"key", etcd::Base64(MembersPrefix())},
                            {"range_end", etcd::Base64(etcd::PrefixEnd(MembersPrefix()))}}}}}}};
    const etcd::Reply r = client_->Call("/v3/kv/txn", body, CallDeadline(), stop);
    if (!r) {
        Failed(r);
        return;
    }
    lastContact_ = Ns(Clock::now());
    ReadClaims(TxnKvs(r.Body, 1), false);
    ReadMembers(TxnKvs(r.Body, 2));
    claimsRevision_ = etcd::Int(Get(r.Body, "header"), "revision");
    {
        std::lock_guard g(mu_);
        std::erase_if(claims_, [&](const auto& c) { return c.first.Day < today - 2; });
    }
    const json& leader = TxnKvs(r.Body, 0);
    if (leader.is_array() && !leader.empty()) {
        Observe(leader[0], stop);
        return;
    }
    // A member that has not caught up with the group's schedule may not lead: it would run an
    // older schedule.
    if (!schedule_ || !schedule_->CaughtUp())
        return;
    // Nobody leads: campaign, unless this member cannot switch while another live member can
    // (that one campaigns). With no working link anywhere every member campaigns, so the group
    // still has a leader that claims and reports.
    if (!LinkUp() && othersUp_.load()) {
        leading_ = false;
        SetRole(Role::NoLeader, {}, "the switcher link is down; a member whose link is up leads");
        return;
    }
    // The key carries our lease, so it goes when we do.
    const std::string key = etcd::Base64(LeaderKey());
    const json campaign = {{"compare", {Compare(LeaderKey(), "CREATE", "create_revision", 0)}},
                           {"success",
                            {{{"request_put",
                               {{"key", key},
                                {"value", etcd::Base64(config_.Node)},
                                {"lease", std::to_string(lease_.load())}}}}}},
                           {"failure", {{{"request_range", {{"key", key}}}}}}};
    const etcd::Reply c = client_->Call("/v3/kv/txn", campaign, CallDeadline(), stop);
    if (!c) {
        Failed(c);
        return;
    }
    lastContact_ = Ns(Clock::now());
    if (Get(c.Body, "succeeded") == true) {
        const int64_t won = etcd::Int(Get(c.Body, "header"), "revision");
        if (observedLeaderRev_ != 0 && observedLeaderRev_ != won) {
            std::lock_guard g(mu_);
            ++role_.LeaderChanges;
        }
        observedLeaderRev_ = won;
        TakeOver(won, stop);
        return;
    }
    const json& now = TxnKvs(c.Body, 0);
    if (now.is_array() && !now.empty())
        Observe(now[0], stop);
}

void Membership::Observe(const json& kv, std::stop_token stop) {
    const int64_t created = etcd::Int(kv, "create_revision");
    const int64_t lease = etcd::Int(kv, "lease");
    const std::string node = etcd::Unbase64(
        Get(kv, "value").is_string() ? Get(kv, "value").get<std::string>() : std::string());
    if (observedLeaderRev_ != 0 && observedLeaderRev_ != created) {
        std::lock_guard g(mu_);
        ++role_.LeaderChanges;
    }
    observedLeaderRev_ = created;
    if (lease != 0 && lease == lease_.load()) {
        if (stepping_.load())
            return;  // ours, being handed over: StepAside deletes it
        if (!leading_.load() || wonRevision_.load() != created)
            TakeOver(created, stop);  // ours: a campaign whose answer was lost
        return;
    }
    leading_ = false;
    SetRole(Role::Standby, node, {});
}

void Membership::TakeOver(int64_t createRevision, std::stop_token stop) {
    // Before leading: the claims of the last days that their claimers never finished. Their
    // runs are not made again (their first commands may have gone out); the engine reports them.
    const std::string prefix = ClaimsPrefix();
    const json body = {{"key", etcd::Base64(prefix + DateText(Today() - 2))},
                       {"range_end", etcd::Base64(etcd::PrefixEnd(prefix))}};
    const etcd::Reply r = client_->Call("/v3/kv/range", body, CallDeadline(), stop);
    if (!r) {
        Failed(r);
        return;  // the next poll finds the key ours and tries again
    }
    lastContact_ = Ns(Clock::now());
    ReadClaims(Get(r.Body, "kvs"), true);
    wonRevision_ = createRevision;
    leading_ = true;
    SetRole(Role::Leader, {}, {});
    RemoveOldClaims(stop);
}

void Membership::ReadClaims(const json& kvs, bool takeUnfinished) {
    if (!kvs.is_array())
        return;
    const std::string prefix = ClaimsPrefix();
    std::vector<std::pair<std::string, json>> toMark;  // reported now: put back so marked
    for (const json& kv : kvs) {
        const json& k = Get(kv, "key");
        const json& v = Get(kv, "value");
        if (!k.is_string() || !v.is_string())
            continue;
        const std::string key = etcd::Unbase64(k.get<std::string>());
        if (key.rfind(prefix, 0) != 0)
            continue;
        const std::optional<Occurrence> of =
            ParseClaimKey(std::string_view(key).substr(prefix.size()));
        if (!of)
            continue;
        Seen s = ParseValue(etcd::Unbase64(v.get<std::string>()));
        const Key id = KeyOf(*of);
        std::lock_guard g(mu_);
        const bool ours = s.Lease == lease_.load() && s.Record.Node == config_.Node;
        // Our own claim whose answer was lost: nothing of its run has been sent. While this
        // member leads, the engine's next try of the occurrence takes the claim up and runs
        // it; reporting it here would lose a run that never started.
        const bool retried = ours && uncertain_.count(id) && leading_.load();
        if (!s.Record.Finished && !s.Reported && !retried &&
            ((takeUnfinished && !ours) || (ours && uncertain_.count(id)))) {
            unfinished_.push_back({*of, s.Record});
            s.Reported = true;
            toMark.emplace_back(
                key, json{{"mod", etcd::Int(kv, "mod_revision")}, {"value", ClaimValue(s)}});
        }
        if (ours && !retried)
            uncertain_.erase(id);
        claims_[id] = s;
    }
    for (const auto& [key, m] : toMark) {
        // Only if the claimer did not finish it meanwhile.
        const json txn = {
            {"compare", {Compare(key, "MOD", "mod_revision", m["mod"].get<int64_t>())}},
            {"success",
             {{{"request_put",
                {{"key", etcd::Base64(key)}, {"value", etcd::Base64(m["value"].dump())}}}}}}};
        client_->Call("/v3/kv/txn", txn, CallDeadline());
    }
}

void Membership::WriteFinished(std::stop_token stop) {
    std::vector<Occurrence> todo;
    {
        std::lock_guard g(mu_);
        todo.swap(toFinish_);
    }
    for (size_t i = 0; i < todo.size(); ++i) {
        Seen s;
        {
            std::lock_guard g(mu_);
            const auto it = claims_.find(KeyOf(todo[i]));
            if (it == claims_.end() || it->second.Record.Node != config_.Node)
                continue;
            s = it->second;
        }
        s.Record.Finished = true;
        const etcd::Reply r =
            client_->Call("/v3/kv/put",
                          {{"key", etcd::Base64(ClaimKey(config_.Group, todo[i]))},
                           {"value", etcd::Base64(ClaimValue(s).dump())}},
                          CallDeadline(), stop);
        std::lock_guard g(mu_);
        if (!r) {
            lastFault_ = r.Failed == etcd::Fault::Unreachable ? "etcd unreachable" : "no quorum";
            toFinish_.insert(toFinish_.begin(), todo.begin() + static_cast<ptrdiff_t>(i),
                             todo.end());
            return;  // again on the next step
        }
        claims_[KeyOf(todo[i])].Record.Finished = true;
    }
}

void Membership::RemoveOldClaims(std::stop_token stop) {
    const int64_t today = Today();
    const std::string prefix = ClaimsPrefix();
    const etcd::Reply r =
        client_->Call("/v3/kv/deleterange",
                      {{"key", etcd::Base64(prefix)},
                       {"range_end", etcd::Base64(prefix + DateText(today - kClaimDays))}},
                      CallDeadline(), stop);
    if (r)
        lastCleanupDay_ = today;
}

void Membership::Failed(const etcd::Reply& r) {
    if (r.Failed == etcd::Fault::Stopped || r.Failed == etcd::Fault::None)
        return;
    std::lock_guard g(mu_);
    lastFault_ = r.Failed == etcd::Fault::Unreachable ? "etcd unreachable"
                 : r.Failed == etcd::Fault::NoQuorum  ? "no quorum"
                 : r.Failed == etcd::Fault::Tls       ? r.Error
                                                      : "etcd: " + r.Error;
    // A member that never got as far as a campaign says why, rather than "not yet decided"; a
    // broken group file keeps its own reason.
    if (role_.Role == Role::NoLeader && role_.Reason.rfind("qtx-cluster.conf", 0) != 0)
        role_.Reason = lastFault_;
}

bool Membership::LinkDownTooLong() const {
    const int64_t since = linkDownSince_.load();
    return since != 0 && Ns(Clock::now()) - since > int64_t{giveUpAfterS_.load()} * 1000000000;
}

void Membership::PublishLink(std::stop_token stop) {
    const bool up = LinkUp();
    if (publishedLease_ == lease_.load() && publishedUp_ == up)
        return;
    const etcd::Reply r =
        client_->Call("/v3/kv/put",
                      {{"key", etcd::Base64(MembersPrefix() + config_.Node)},
                       {"value", etcd::Base64(json{{"link", up ? "up" : "down"}}.dump())},
                       {"lease", std::to_string(lease_.load())}},
                      CallDeadline(), stop);
    if (!r) {
        Failed(r);
        return;  // again on the next step
    }
    publishedLease_ = lease_.load();
    publishedUp_ = up;
}

void Membership::ReadMembers(const json& kvs) {
    // The keys live with their members' leases: whatever is here is a live member.
    const std::string own = MembersPrefix() + config_.Node;
    bool up = false;
    if (kvs.is_array())
        for (const json& kv : kvs) {
            const json& k = Get(kv, "key");
            const json& v = Get(kv, "value");
            if (!k.is_string() || !v.is_string() || etcd::Unbase64(k.get<std::string>()) == own)
                continue;
            const json value = json::parse(etcd::Unbase64(v.get<std::string>()), nullptr, false);
            up = up || (value.is_object() && value.value("link", "") == "up");
        }
    othersUp_ = up;
}

void Membership::StepAside(std::stop_token stop) {
    // A leader whose link has been down past LinkAlarmAfter hands the leadership to a member
    // whose link is up. First no new claim, then the runs already claimed end (at most a lease:
    // one cut short never reports its end), then nothing more is sent, and only then does the
    // leader key go, so that no occurrence is both run here and claimed there.
    if (!stepping_.load()) {
        stepping_ = true;
        steppingSince_ = Clock::now();
    }
    if (leading_.load()) {
        if (LinkUp() || !othersUp_.load()) {  // the link came back, or nobody else can switch
            stepping_ = false;
            return;
        }
        { std::lock_guard c(claimMu_); }  // a claim in flight has returned (and counted)
        if (running_.load() > 0 && Clock::now() - steppingSince_ < LeaseLength())
            return;
        leading_ = false;
        fenceUntil_ = 0;
        // A command that MaySend let through an instant ago leaves before the key goes.
        std::this_thread::sleep_for(kFenceMargin);
    }
    const json resign = {
        {"compare", {Compare(LeaderKey(), "CREATE", "create_revision", wonRevision_.load())}},
        {"success", {{{"request_delete_range", {{"key", etcd::Base64(LeaderKey())}}}}}}};
    const etcd::Reply r = client_->Call("/v3/kv/txn", resign, CallDeadline(), stop);
    if (!r) {
        Failed(r);
        return;  // again on the next step; nothing is sent meanwhile
    }
    stepping_ = false;
    wonRevision_ = 0;
    if (Get(r.Body, "succeeded") == true)  // else another leads already: the next poll says who
        SetRole(Role::NoLeader, {}, "the switcher link is down; a member whose link is up leads");
}

void Membership::SetRole(Role role, std::string leader, std::string reason) {
    std::lock_guard g(mu_);
    role_.Role = role;
    role_.Leader = std::move(leader);
    role_.Reason = std::move(reason);
}

// ---- opening ----

std::unique_ptr<RunGate> OpenGroup(const std::string& programDir) {
    std::string path = programDir;
    if (!path.empty() && path.back() != '/')
        path += '/';
    path += kGroupFileName;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return nullptr;  // no group file: the engine runs alone
    return std::make_unique<Membership>(path);
}

}  // namespace qtx::cluster
