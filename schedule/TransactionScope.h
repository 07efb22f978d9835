#pragma once
// A transaction for a group of statements: opened unless the caller has one already (then the
// caller's commit decides), rolled back on the way out unless committed.
#include "database/DBEngine.h"

namespace qtx::schedule {

class TransactionScope {
  public:
    explicit TransactionScope(Database& db, bool readOnly = false)
        : db_(db), own_(!db.InTransaction()) {
        if (own_ && readOnly)
            db_.BeginRead();
        else if (own_)
            db_.BeginTrans();
    }
    ~TransactionScope() {
        if (own_ && !done_) {
            try {
                db_.Rollback();
            } catch (...) {
            }
        }
    }
    TransactionScope(const TransactionScope&) = delete;
    TransactionScope& operator=(const TransactionScope&) = delete;
    void Commit() {
        if (own_)
            db_.CommitTrans();
        done_ = true;
    }

  private:
    Database& db_;
    bool own_;
    bool done_ = false;
};

}  // namespace qtx::schedule
