#pragma once
// How many of one kind of resource (status streams, running previews) each account holds, all
// its sessions together, with a cap per account. A hold gives its share back when it ends. Safe
// from any thread.
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace qtx::console {

class AccountShares {
  public:
    explicit AccountShares(int perAccount) : perAccount_(perAccount) {}
    AccountShares(const AccountShares&) = delete;
    AccountShares& operator=(const AccountShares&) = delete;

    // One share of an account, given back when the last copy of the hold ends.
    class Hold {
      public:
        Hold() = default;

      private:
        friend class AccountShares;
        std::shared_ptr<void> token_;
    };

    // A share for user; nullopt when the account holds its cap already.
    std::optional<Hold> TryTake(const std::string& user);
    int PerAccount() const { return perAccount_; }

  private:
    void Give(const std::string& user);

    const int perAccount_;
    std::mutex mutex_;
    std::map<std::string, int> held_;  // only accounts that hold a share
};

}  // namespace qtx::console
