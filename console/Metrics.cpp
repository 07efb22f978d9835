#include "console/Metrics.h"

#include <map>
#include <mutex>
#include <sstream>

#include "console/LogTail.h"

namespace qtx::console {

namespace {

std::string LabelValue(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

}  // namespace

std::string MetricsText(const EngineState::Counts& c, const std::string& folder,
                        const LoginCounts& logins) {
    // The error log is counted incrementally: only what was appended since the last scrape is read.
    static std::mutex mutex;
    static std::map<std::string, LogLineCounter> counters;
    int64_t errors = 0;
    {
        std::lock_guard lock(mutex);
        auto it = counters.try_emplace(folder, folder + "Errorlog.txt").first;
        errors = it->second.Count();
    }

    std::ostringstream out;
    out << "# HELP qtx_engine_up Whether the engine's state channel is connected.\n"
        << "# TYPE qtx_engine_up gauge\n"
        << "qtx_engine_up " << (c.Running ? 1 : 0) << "\n"
        << "# HELP qtx_link_up Link state: server (TCP) and switcher (online), of link 0 and the "
           "slave.\n"
        << "# TYPE qtx_link_up gauge\n"
        << "qtx_link_up{link=\"server\"} " << (c.Server ? 1 : 0) << "\n"
        << "qtx_link_up{link=\"switcher\"} " << (c.Switcher ? 1 : 0) << "\n"
        << "qtx_link_up{link=\"slave_server\"} " << (c.SlaveServer ? 1 : 0) << "\n"
        << "qtx_link_up{link=\"slave_switcher\"} " << (c.SlaveSwitcher ? 1 : 0) << "\n"
        << "# HELP qtx_slave_enabled Whether a slave switcher address is configured.\n"
        << "# TYPE qtx_slave_enabled gauge\n"
        << "qtx_slave_enabled " << (c.SlaveEnabled ? 1 : 0) << "\n"
        << "# HELP qtx_events_run_total Events run, seen since the console started.\n"
        << "# TYPE qtx_events_run_total counter\n"
        << "qtx_events_run_total " << c.Ran << "\n"
        << "# HELP qtx_events_refused_total Events not run, by reason, seen since the console "
           "started.\n"
        << "# TYPE qtx_events_refused_total counter\n";
    for (const auto& [reason, n] : c.Refused)
        out << "qtx_events_refused_total{reason=\"" << LabelValue(reason) << "\"} " << n << "\n";
    out << "# HELP qtx_error_log_entries Entry lines in Errorlog.txt.\n"
        << "# TYPE qtx_error_log_entries gauge\n"
        << "qtx_error_log_entries " << errors << "\n";
    if (c.LastRun) {
        double since =
            std::chrono::duration<double>(std::chrono::system_clock::now() - *c.LastRun).count();
        out << "# HELP qtx_seconds_since_last_run Seconds since the last event ran.\n"
            << "# TYPE qtx_seconds_since_last_run gauge\n"
            << "qtx_seconds_since_last_run " << since << "\n";
    }
    if (c.LastLatenessMs >= 0)
        out << "# HELP qtx_last_event_lateness_seconds From the last event's second to the start "
               "of its execution.\n"
            << "# TYPE qtx_last_event_lateness_seconds gauge\n"
            << "qtx_last_event_lateness_seconds "
            << (static_cast<double>(c.LastLatenessMs) / 1000.0) << "\n";
    out << "# HELP qtx_takes_total Crosspoint commands (takes, sums) confirmed or not, by link, "
           "seen since the console started.\n"
        << "# TYPE qtx_takes_total counter\n";
    for (int link : {0, 1})
        for (bool confirmed : {true, false}) {
            const auto it = c.Takes.find({link, confirmed});
            out << "qtx_takes_total{link=\"" << (link == 0 ? "server" : "slave_server")
                << "\",outcome=\"" << (confirmed ? "confirmed" : "not_confirmed") << "\"} "
                << (it == c.Takes.end() ? 0 : it->second) << "\n";
        }
    out << "# HELP qtx_confirm_seconds From a crosspoint command to the switcher showing it, for "
           "the confirmed ones.\n"
        << "# TYPE qtx_confirm_seconds histogram\n";
    uint64_t cumulative = 0;
    for (size_t b = 0; b < EngineState::kConfirmBucketsMs.size(); ++b) {
        cumulative += c.ConfirmBuckets[b];
        out << "qtx_confirm_seconds_bucket{le=\""
            << static_cast<double>(EngineState::kConfirmBucketsMs[b]) / 1000.0 << "\"} "
            << cumulative << "\n";
    }
    out << "qtx_confirm_seconds_bucket{le=\"+Inf\"} " << c.ConfirmCount << "\n"
        << "qtx_confirm_seconds_sum " << static_cast<double>(c.ConfirmSumMs) / 1000.0 << "\n"
        << "qtx_confirm_seconds_count " << c.ConfirmCount << "\n";
    out << "# HELP qtx_console_state_lines_dropped_total Lines of the engine's state channel "
           "dropped, by problem, since the console started.\n"
        << "# TYPE qtx_console_state_lines_dropped_total counter\n";
    for (const auto& [problem, n] : c.LinesDropped)
        out << "qtx_console_state_lines_dropped_total{problem=\"" << LabelValue(problem) << "\"} "
            << n << "\n";
    out << "# HELP qtx_console_state_peers_refused_total Connections to the state channel whose "
           "peer was neither this console's user nor the program folder's owner.\n"
        << "# TYPE qtx_console_state_peers_refused_total counter\n"
        << "qtx_console_state_peers_refused_total " << c.PeersRefused << "\n"
        << "# HELP qtx_engine_peer_untrusted Whether the last peer on the state channel was not "
           "believed.\n"
        << "# TYPE qtx_engine_peer_untrusted gauge\n"
        << "qtx_engine_peer_untrusted " << (c.PeerRefused ? 1 : 0) << "\n";
    // An engine in a group of engines: its role, the leadership changes it saw, its claims. An
    // engine alone has no group and none of these.
    if (c.Group && c.Group->Role != state::ClusterRole::Alone) {
        out << "# HELP qtx_cluster_role The engine's role in its group (1 for the current one).\n"
            << "# TYPE qtx_cluster_role gauge\n";
        for (const state::ClusterRole r : {state::ClusterRole::Leader, state::ClusterRole::Standby,
                                           state::ClusterRole::NoLeader})
            out << "qtx_cluster_role{role=\"" << state::RoleName(r) << "\"} "
                << (c.Group->Role == r ? 1 : 0) << "\n";
        const state::ClaimCounts& claims = c.Group->Claims;
        out << "# HELP qtx_cluster_leader_changes_total Times the engine saw the leadership of "
               "its group change hands.\n"
            << "# TYPE qtx_cluster_leader_changes_total counter\n"
            << "qtx_cluster_leader_changes_total " << c.Group->LeaderChanges << "\n"
            << "# HELP qtx_cluster_claims_total Occurrences the engine claimed as leader, by "
               "outcome, since it started.\n"
            << "# TYPE qtx_cluster_claims_total counter\n"
            << "qtx_cluster_claims_total{outcome=\"claimed\"} " << claims.Claimed << "\n"
            << "qtx_cluster_claims_total{outcome=\"already_claimed\"} " << claims.AlreadyClaimed
            << "\n"
            << "qtx_cluster_claims_total{outcome=\"not_leader\"} " << claims.NotLeader << "\n";
    }
    out << "# HELP qtx_console_password_checks_total Password checks made by logins since the "
           "console started.\n"
        << "# TYPE qtx_console_password_checks_total counter\n"
        << "qtx_console_password_checks_total " << logins.PasswordChecks << "\n"
        << "# HELP qtx_console_logins_throttled_total Logins refused by the per-address throttle "
           "(429) since the console started.\n"
        << "# TYPE qtx_console_logins_throttled_total counter\n"
        << "qtx_console_logins_throttled_total " << logins.Throttled << "\n";
    return out.str();
}

}  // namespace qtx::console
