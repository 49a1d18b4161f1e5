// The packet filter's tables are read whole, edited and written back whole, so two writers that overlap
// lose one another's changes. Every writer on the board that plays fair (the iptables commands with -w,
// and this library) takes the same exclusive lock from reading a table to committing it.
#pragma once

namespace netkeep {

// Held for its lifetime; a thread that already holds it may take it again, so a two-chain rule and
// the undo of its first chain run under one lock. A child forked meanwhile does not hold it.
class TableLock {
public:
    TableLock();
    ~TableLock();
    TableLock(const TableLock &) = delete;
    TableLock &operator=(const TableLock &) = delete;
};

// The lock file: $XTABLES_LOCKFILE when set, as for the iptables commands, else "/run/xtables.lock".
const char *tableLockPath();

} // namespace netkeep
