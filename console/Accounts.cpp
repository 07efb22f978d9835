#include "console/Accounts.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "common/Limits.h"

namespace qtx::console {

namespace {

std::string FileStamp(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return {};
    return std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) + ":" +
           std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
}

std::string HashPassword(const std::string& password) {
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str_alg(
            out, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
            crypto_pwhash_MEMLIMIT_INTERACTIVE, crypto_pwhash_ALG_ARGON2ID13) != 0)
        throw std::runtime_error("out of memory while hashing the password");
    return out;
}

}  // namespace

std::string RoleName(Role role) {
    switch (role) {
        case Role::Viewer:
            return "viewer";
        case Role::Operator:
            return "operator";
        case Role::Admin:
            return "admin";
    }
    return "viewer";
}

std::optional<Role> RoleFromName(const std::string& name) {
    if (name == "viewer")
        return Role::Viewer;
    if (name == "operator")
        return Role::Operator;
    if (name == "admin")
        return Role::Admin;
    return std::nullopt;
}

bool Accounts::ValidName(const std::string& name) {
    if (name.empty() || name.size() > limits::MaxUserName)
        return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '_' || c == '-';
    });
}

std::string Accounts::PasswordProblem(const std::string& password) {
    if (password.size() < limits::MinPassword)
        return "a password needs at least " + std::to_string(limits::MinPassword) + " characters";
    if (password.size() > limits::MaxPassword)
        return "a password may have at most " + std::to_string(limits::MaxPassword) + " characters";
    return {};
}

Accounts::Accounts(std::string folder) : path_(std::move(folder) + kFileName) {
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium could not be initialised");
    dummyHash_ = HashPassword("not a password of anyone");
    std::lock_guard lock(mutex_);
    if (access(path_.c_str(), F_OK) == 0) {
        accounts_ = ReadFile(path_);  // throws: a broken file is told at start
        stamp_ = FileStamp(path_);
    }
}

std::vector<Account> Accounts::ReadFile(const std::string& path) {
    std::vector<Account> accounts;
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error(path + ": cannot be read");
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        Account a;
        std::string role;
        if (!(fields >> a.Name >> role >> a.Hash) || !ValidName(a.Name) || !RoleFromName(role) ||
            a.Hash.rfind("$argon2id$", 0) != 0)
            throw std::runtime_error(path + ":" + std::to_string(number) +
                                     ": not an account line (NAME ROLE $argon2id$...)");
        a.AccountRole = *RoleFromName(role);
        accounts.push_back(std::move(a));
    }
    return accounts;
}

void Accounts::Refresh() const {
    std::string stamp = FileStamp(path_);
    if (stamp == stamp_)
        return;
    try {
        accounts_ = stamp.empty() ? std::vector<Account>{} : ReadFile(path_);
        stamp_ = stamp;
    } catch (const std::exception&) {
        // A file being replaced or spoilt: the accounts read before stay in force.
    }
}

std::optional<Role> Accounts::Verify(const std::string& name, const std::string& password) const {
    std::optional<Account> account = Find(name);
    const std::string& hash = account ? account->Hash : dummyHash_;
    hashing_.acquire();
    checks_.fetch_add(1);
    bool match = crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
    hashing_.release();
    if (!account || !match)
        return std::nullopt;
    return account->AccountRole;
}

std::optional<Account> Accounts::Find(const std::string& name) const {
    std::lock_guard lock(mutex_);
    Refresh();
    for (const Account& a : accounts_)
        if (a.Name == name)
            return a;
    return std::nullopt;
}

std::vector<Account> Accounts::List() const {
    std::lock_guard lock(mutex_);
    Refresh();
    return accounts_;
}

bool Accounts::Empty() const {
    std::lock_guard lock(mutex_);
    Refresh();
    return accounts_.empty();
}

void Accounts::Set(const std::string& name, Role role, const std::optional<std::string>& password,
                   const BeforeSave& beforeSave) {
    if (!ValidName(name))
        throw std::invalid_argument(
            "user name \"" + name.substr(0, limits::MaxUserName) +
            (name.size() > limits::MaxUserName ? "..." : "") + "\" is not allowed (1 to " +
            std::to_string(limits::MaxUserName) + " letters, digits, \".\", \"_\", \"-\")");
    if (password) {
        std::string problem = PasswordProblem(*password);
        if (!problem.empty())
            throw std::invalid_argument(problem);
    }
    std::string hash = password ? HashPassword(*password) : std::string();
    std::lock_guard lock(mutex_);
    Refresh();
    std::vector<Account> next = accounts_;
    auto it =
        std::find_if(next.begin(), next.end(), [&](const Account& a) { return a.Name == name; });
    if (it == next.end()) {
        if (!password)
            throw std::invalid_argument("a new account needs a password");
        next.push_back(Account{name, role, hash});
    } else {
        if (it->AccountRole == Role::Admin && role != Role::Admin &&
            std::count_if(next.begin(), next.end(),
                          [](const Account& a) { return a.AccountRole == Role::Admin; }) == 1)
            throw std::invalid_argument("\"" + name + "\" is the last admin and stays admin");
        it->AccountRole = role;
        if (password)
            it->Hash = hash;
    }
    if (beforeSave)
        beforeSave();
    Save(next);
    accounts_ = std::move(next);
}

bool Accounts::Remove(const std::string& name, const BeforeSave& beforeSave) {
    std::lock_guard lock(mutex_);
    Refresh();
    std::vector<Account> next = accounts_;
    auto it =
        std::find_if(next.begin(), next.end(), [&](const Account& a) { return a.Name == name; });
    if (it == next.end())
        return false;
    if (it->AccountRole == Role::Admin &&
        std::count_if(next.begin(), next.end(),
                      [](const Account& a) { return a.AccountRole == Role::Admin; }) == 1)
        throw std::invalid_argument("\"" + name + "\" is the last admin and cannot be removed");
    next.erase(it);
    if (beforeSave)
        beforeSave();
    Save(next);
    accounts_ = std::move(next);
    return true;
}

void Accounts::Save(const std::vector<Account>& accounts) {
    // A whole new file renamed over the old one: a crash leaves the old file or the new one.
    std::string temp = path_ + ".new";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        throw std::runtime_error(path_ + ": cannot be written");
    std::string text = "# qtx-console accounts: NAME ROLE ARGON2ID-HASH\n";
    for (const Account& a : accounts)
        text += a.Name + " " + RoleName(a.AccountRole) + " " + a.Hash + "\n";
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
              ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (!ok || ::rename(temp.c_str(), path_.c_str()) != 0) {
        ::unlink(temp.c_str());
        throw std::runtime_error(path_ + ": cannot be written");
    }
    stamp_ = FileStamp(path_);
}

}  // namespace qtx::console
