// Feeds arbitrary texts to the address check of the loader. Nothing may crash or read out of
// bounds, and the result must be one the links can use: true exactly for texts with three dots
// and something after the third, then four numbers 0 to 255 that check again to themselves;
// false leaves the previous result untouched.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/Clock.h"
#include "common/Constants.h"
#include "common/Variables.h"
#include "database/DBEngine.h"
#include "database/DiskWork.h"
#include "logging/Logs.h"
#include "ui/RecordingMainWindow.h"

namespace {

// A program folder of its own, emptied at exit, for anything the code under test might log.
struct Rig {
    std::string dir;
    qtx::FakeClock clock;
    qtx::Variables vars;
    qtx::Logs logs{vars, clock};
    qtx::RecordingMainWindow view;
    qtx::DBEngine db;
    qtx::DiskWork disk{vars, logs, view, db};
    Rig() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qtx-fuzz-XXXXXX").string();
        dir = ::mkdtemp(pattern.data()) ? pattern + "/" : "/nonexistent-qtx-fuzz/";
        vars.AppDir = dir;
        vars.DBPath = dir + qtx::constants::DatabaseFileName;
    }
    ~Rig() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

Rig& TheRig() {
    static Rig rig;
    return rig;
}

bool IsNumber0To255(const std::string& s) {
    if (s.empty() || s.size() > 3 || (s.size() > 1 && s[0] == '0'))
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    return std::atoi(s.c_str()) <= 255;
}

bool IsDottedQuad(const std::string& s) {
    size_t start = 0;
    for (int part = 0; part < 4; ++part) {
        const size_t end = part < 3 ? s.find('.', start) : s.size();
        if (end == std::string::npos || !IsNumber0To255(s.substr(start, end - start)))
            return false;
        start = end + 1;
    }
    return true;
}

// Three dots with at least one character after the third.
bool HasAddressShape(const std::string& s) {
    size_t dots = 0, pos = 0;
    for (; pos < s.size() && dots < 3; ++pos)
        if (s[pos] == '.')
            ++dots;
    return dots == 3 && pos < s.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Rig& rig = TheRig();
    const std::string addr(reinterpret_cast<const char*>(data), size);
    const std::string sentinel = "sentinel";
    rig.vars.ValidIPAddr = sentinel;
    const bool ok = rig.disk.ValidateIPAddress(addr);
    if (ok != HasAddressShape(addr))
        std::abort();
    if (!ok) {
        if (rig.vars.ValidIPAddr != sentinel)
            std::abort();
        return 0;
    }
    const std::string normal = rig.vars.ValidIPAddr;
    if (!IsDottedQuad(normal))
        std::abort();
    rig.vars.ValidIPAddr = sentinel;
    if (!rig.disk.ValidateIPAddress(normal) || rig.vars.ValidIPAddr != normal)
        std::abort();
    return 0;
}
