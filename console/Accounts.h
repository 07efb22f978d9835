#pragma once
// The console's accounts: name, role and an Argon2id password hash, kept in the file
// "qtx-console.users" in the program folder (owner only), one account a line. Safe to use from
// the server's threads.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <semaphore>
#include <string>
#include <vector>

#include "common/Limits.h"

namespace qtx::console {

// viewer reads; operator also edits events; admin also edits settings and users.
enum class Role { Viewer = 0, Operator = 1, Admin = 2 };

std::string RoleName(Role role);
std::optional<Role> RoleFromName(const std::string& name);

struct Account {
    std::string Name;
    Role AccountRole = Role::Viewer;
    std::string Hash;  // "$argon2id$..."
};

class Accounts {
  public:
    static constexpr const char* kFileName = "qtx-console.users";

    // folder ends in "/". Reads the file when it exists; throws std::runtime_error naming the
    // file and line when it cannot be read or is malformed.
    explicit Accounts(std::string folder);

    // The account's role when name and password match; a wrong name costs as much time as a
    // wrong password. Each call is one password check.
    std::optional<Role> Verify(const std::string& name, const std::string& password) const;
    // Password checks made since the start.
    uint64_t PasswordChecks() const { return checks_.load(); }

    // Called once the change is known to be allowed, just before the file is written; whatever
    // it throws leaves the accounts unchanged (the audit line of the change is written here).
    using BeforeSave = std::function<void()>;

    // Adds the account or changes its role and (when given) its password, and saves the file.
    // Throws std::invalid_argument for a bad name or password, std::runtime_error when the file
    // cannot be written (nothing changes then).
    void Set(const std::string& name, Role role, const std::optional<std::string>& password,
             const BeforeSave& beforeSave = {});
    // Removes the account; false when there is none. Refuses (std::invalid_argument) to remove
    // the last admin.
    bool Remove(const std::string& name, const BeforeSave& beforeSave = {});

    std::vector<Account> List() const;
    std::optional<Account> Find(const std::string& name) const;
    bool Empty() const;
    std::string Path() const { return path_; }

    // A name of 1 to limits::MaxUserName letters, digits, ".", "_" or "-".
    static bool ValidName(const std::string& name);
    // Empty when acceptable, else what is wrong with it.
    static std::string PasswordProblem(const std::string& password);

  private:
    void Save(const std::vector<Account>& accounts);
    // Reads the file again when it changed since it was read (add-user while the console runs).
    // Call with the mutex held. Keeps what it had when the new file cannot be read.
    void Refresh() const;
    static std::vector<Account> ReadFile(const std::string& path);

    std::string path_;
    mutable std::mutex mutex_;
    mutable std::vector<Account> accounts_;
    mutable std::string stamp_;  // the file's inode, size and modification time when read
    std::string dummyHash_;      // verified against for unknown names
    mutable std::counting_semaphore<limits::ConcurrentPasswordChecks> hashing_{
        limits::ConcurrentPasswordChecks};
    mutable std::atomic<uint64_t> checks_{0};
};

}  // namespace qtx::console
