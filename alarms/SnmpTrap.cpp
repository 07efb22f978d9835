#include "alarms/SnmpTrap.h"

// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
// clang-format on
#include <arpa/inet.h>
#if defined(__SANITIZE_ADDRESS__)
#define QTX_LEAK_CHECKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QTX_LEAK_CHECKS 1
#endif
#endif
#ifdef QTX_LEAK_CHECKS
#include <sanitizer/lsan_interface.h>
#endif

#include <chrono>
#include <ctime>
#include <mutex>

#include "alarms/CleanText.h"

#ifndef QTX_SNMP_ENTERPRISE
#error "QTX_SNMP_ENTERPRISE is set by alarms/CMakeLists.txt"
#endif

namespace qtx::alarms {

namespace {

constexpr size_t kTextLimit = 1024;  // the MIB's QtxUtf8String
constexpr size_t kShortLimit = 64;   // ids and kinds

// Object numbers under qtxAlarmObjects, as in the MIB.
enum Field : oid {
    FieldId = 1,
    FieldKind,
    FieldState,
    FieldSeverity,
    FieldText,
    FieldEventNumber,
    FieldEventTitle,
    FieldLink,
    FieldAt,
    FieldEngine,
    FieldLasted,
};

std::vector<oid> Under(std::initializer_list<oid> tail) {
    std::vector<oid> v{1, 3, 6, 1, 4, 1, QTX_SNMP_ENTERPRISE};
    v.insert(v.end(), tail);
    return v;
}

// The MIB's qtxAlarmSeverity values.
long SeverityNumber(Severity s) {
    switch (s) {
        case Severity::Critical:
            return 1;
        case Severity::Major:
            return 2;
        case Severity::Minor:
            return 3;
        case Severity::Warning:
            break;
    }
    return 4;
}

std::string Dotted(const std::vector<oid>& v) {
    std::string s;
    for (oid o : v)
        s += "." + std::to_string(o);
    return s;
}

void InitOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Traps are built from numbers: only the transports are set up, no configuration or
        // MIB file is read and nothing is stored (init_snmp would do all of that).
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
        // The transports' table is net-snmp's for the life of the process and never given
        // back: not a leak to report.
#ifdef QTX_LEAK_CHECKS
        __lsan::ScopedDisabler keep;
#endif
        netsnmp_tdomain_init();
    });
}

// DateAndTime: year (2 octets), month, day, hour, minute, second, tenths, '+'/'-', offset.
std::string DateAndTime(int64_t utcMs, int offsetMinutes) {
    const int64_t localMs = utcMs + int64_t{offsetMinutes} * 60000;
    const int64_t secs = localMs >= 0 ? localMs / 1000 : (localMs - 999) / 1000;
    const int ms = static_cast<int>(localMs - secs * 1000);
    const time_t t0 = static_cast<time_t>(secs);
    std::tm t{};
    gmtime_r(&t0, &t);
    const int year = t.tm_year + 1900;
    const int off = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    std::string s;
    for (int v :
         {year >> 8, year & 0xff, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, ms / 100})
        s.push_back(static_cast<char>(v));
    s.push_back(offsetMinutes < 0 ? '-' : '+');
    s.push_back(static_cast<char>(off / 60));
    s.push_back(static_cast<char>(off % 60));
    return s;
}

struct PduDeleter {
    void operator()(netsnmp_pdu* p) const { snmp_free_pdu(p); }
};
using Pdu = std::unique_ptr<netsnmp_pdu, PduDeleter>;

struct SessionCloser {
    void operator()(void* s) const { snmp_sess_close(s); }
};
using Session = std::unique_ptr<void, SessionCloser>;

class TrapTransfer : public Transfer {
  public:
    TrapTransfer(const AlarmRoute& route, const Alarm& alarm)
        : Transfer(NoHandle{}), route_(route), alarm_(alarm) {}

    std::optional<Answer> Immediate() override {
        InitOnce();
        Pdu pdu(snmp_pdu_create(SNMP_MSG_TRAP2));
        if (!pdu)
            return Answer{false, "no memory for the trap"};
        const Alarm& a = alarm_;
        // sysUpTime.0: the host's time since it started, in hundredths of a second.
        const auto up = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count() /
                        10;
        AddInt(pdu.get(), {1, 3, 6, 1, 2, 1, 1, 3, 0}, ASN_TIMETICKS,
               static_cast<long>(static_cast<uint32_t>(up)));
        const std::vector<oid> trap =
            Under({0, static_cast<oid>(a.State == AlarmState::Raised ? 1 : 2)});
        const std::vector<oid> trapOid{1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};
        snmp_pdu_add_variable(pdu.get(), trapOid.data(), trapOid.size(), ASN_OBJECT_ID, trap.data(),
                              trap.size() * sizeof(oid));
        AddText(pdu.get(), FieldId, CleanText(a.Id, kShortLimit));
        AddText(pdu.get(), FieldKind, KindName(a.Kind));
        AddInt(pdu.get(), Object(FieldState), ASN_INTEGER, a.State == AlarmState::Raised ? 1 : 2);
        AddInt(pdu.get(), Object(FieldSeverity), ASN_INTEGER, SeverityNumber(SeverityOf(a.Kind)));
        AddText(pdu.get(), FieldText, CleanText(a.Text, kTextLimit));
        AddInt(pdu.get(), Object(FieldEventNumber), ASN_INTEGER,
               a.Event && a.Event->Number > 0 ? a.Event->Number : 0);
        AddText(pdu.get(), FieldEventTitle, a.Event ? CleanText(a.Event->Title, kTextLimit) : "");
        AddInt(pdu.get(), Object(FieldLink), ASN_INTEGER, a.Link ? *a.Link : -1);
        AddText(pdu.get(), FieldAt, DateAndTime(a.AtMs, a.UtcOffsetMinutes));
        AddText(pdu.get(), FieldEngine, CleanText(a.Engine, kTextLimit));
        const double lasted = a.State == AlarmState::Cleared && a.LastedS ? *a.LastedS : 0;
        AddInt(pdu.get(), Object(FieldLasted), ASN_TIMETICKS,
               static_cast<long>(lasted <= 0             ? 0
                                 : lasted >= 42949672.95 ? 4294967295.0
                                                         : lasted * 100 + 0.5));

        netsnmp_session config;
        snmp_sess_init(&config);
        config.version = SNMP_VERSION_2c;
        std::string peer = "udp:" + route_.Target;
        if (!route_.Target.empty() && route_.Target[0] == '[')
            peer = "udp6:" + route_.Target;
        config.peername = peer.data();
        std::string community = route_.Secret.empty() ? "public" : route_.Secret;
        config.community = reinterpret_cast<u_char*>(community.data());
        config.community_len = community.size();
        Session session(snmp_sess_open(&config));
        if (!session)
            return Answer{false, "cannot open a UDP socket for " + route_.Target};
        // snmp_sess_send takes the PDU on success.
        if (snmp_sess_send(session.get(), pdu.get()) == 0) {
            int err = 0, sysErr = 0;
            char* text = nullptr;
            snmp_sess_error(session.get(), &err, &sysErr, &text);
            Answer failed{false, text != nullptr ? std::string(text) : "the trap was not sent"};
            free(text);  // net-snmp's own allocation
            return failed;
        }
        pdu.release();
        return Answer{true, "trap sent"};
    }

  private:
    static std::vector<oid> Object(Field f) { return Under({1, static_cast<oid>(f), 0}); }
    static void AddInt(netsnmp_pdu* pdu, const std::vector<oid>& name, u_char type, long v) {
        snmp_pdu_add_variable(pdu, name.data(), name.size(), type, &v, sizeof v);
    }
    static void AddText(netsnmp_pdu* pdu, Field f, const std::string& s) {
        const std::vector<oid> name = Object(f);
        snmp_pdu_add_variable(pdu, name.data(), name.size(), ASN_OCTET_STR, s.data(), s.size());
    }

    AlarmRoute route_;
    Alarm alarm_;
};

}  // namespace

uint32_t SnmpEnterprise() {
    return QTX_SNMP_ENTERPRISE;
}

std::string SnmpTrapOid(AlarmState state) {
    return Dotted(Under({0, static_cast<oid>(state == AlarmState::Raised ? 1 : 2)}));
}

std::vector<std::string> SnmpObjectOids() {
    std::vector<std::string> out;
    for (oid f = FieldId; f <= FieldLasted; ++f)
        out.push_back(Dotted(Under({1, f})));
    return out;
}

bool IsSnmpManager(const std::string& target) {
    std::string host, port;
    if (!target.empty() && target[0] == '[') {
        const size_t close = target.find("]:");
        if (close == std::string::npos)
            return false;
        host = target.substr(1, close - 1);
        port = target.substr(close + 2);
        in6_addr a6{};
        if (inet_pton(AF_INET6, host.c_str(), &a6) != 1)
            return false;
    } else {
        const size_t colon = target.rfind(':');
        if (colon == std::string::npos)
            return false;
        host = target.substr(0, colon);
        port = target.substr(colon + 1);
        in_addr a4{};
        if (inet_pton(AF_INET, host.c_str(), &a4) != 1)
            return false;
    }
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const int p = std::stoi(port);
    return p >= 1 && p <= 65535;
}

std::unique_ptr<Transfer> SnmpTransfer(const AlarmRoute& route, const Alarm& alarm) {
    return std::make_unique<TrapTransfer>(route, alarm);
}

}  // namespace qtx::alarms
