// The effective DACLs of directories, cached for the reads of the objects below them.
//
// Reading an object's DACL needs its parent's effective DACL, and that one its parent's: the
// effective DACLs of directories are cached by device and inode, each entry checked against
// the directory's times and the entry of the parent it was computed from (see Store). What
// another process wrote comes in through the change log (change_log.cpp): each process forgets
// the directory written and what lies below it, nothing else.
#include "platform/posix/security/dacl_cache.h"

#include <time.h>

#include "platform/posix/host/errors.h"
#include "platform/posix/host/host.h"
#include "platform/types.h"

namespace Platform::Posix::ObjectSecurity {

namespace fs = std::filesystem;

Store& Store::instance() {
    static Store store;
    return store;
}

bool Store::refresh(bool onHandle) {
    std::shared_ptr<const fs::path> host;
    try {
        host = Posix::currentHost();
    } catch (const std::exception&) {
        return failWith(WinError::PathNotFound);
    }
    bool hostChanged = host != host_;
    // A log cut short or removed under this process is opened and made whole again, and
    // everything cached forgotten, for what it said is gone. Only a damaged host has such
    // a log: a call by name looks every time, a call on a handle once in a while.
    if (hostChanged || (log_->usable() && logCheckDue(onHandle) && !log_->intact())) {
        log_ = std::make_unique<ChangeLog>(*host / "security.changes");
        seen_ = log_->usable() ? log_->head() : 0;
        ownLogged_ = 0;
        ++untracked_;  // what handles read counted another log's writes
        forgetAll();
    }
    if (hostChanged) {
        host_ = host;
        struct stat st;
        rootKey_ = ::stat("/", &st) == 0 ? DirKey::of(st) : DirKey{};
    }
    if (log_->usable()) {
        std::uint64_t head = log_->head();
        if (head - seen_ > ChangeLog::Slots) {
            forgetAll();
        } else {
            for (std::uint64_t sequence = seen_ + 1; sequence <= head; ++sequence) {
                if (auto key = log_->at(sequence)) {
                    forget(*key);
                } else {
                    forgetAll();
                    break;
                }
            }
        }
        seen_ = head;
    }
    // Every call that names an object translated its path just before, which looked at
    // dosdevices; a call on a handle goes by the drives its open saw.
    drives_ = hostChanged ? Posix::currentDrives() : Posix::latestDrives();
    if (drives_->version != drivesVersion_) {
        drivesVersion_ = drives_->version;
        forgetAll();
    }
    return true;
}

bool Store::isRoot(const struct stat& directory) const {
    DirKey key = DirKey::of(directory);
    if (key == rootKey_) {
        return true;
    }
    for (const auto& drive : drives_->drives) {
        if (drive.device == key.device && drive.inode == key.inode) {
            return true;
        }
    }
    return false;
}

Passed Store::cached(const FileStamp& stamp) {
    auto it = dirs_.find(stamp.key);
    if (it == dirs_.end()) {
        return {};
    }
    if (!(it->second.stamp == stamp)) {
        // Written or moved behind the log's back: gone, and what was computed from it.
        forget(stamp.key);
        return {};
    }
    Entry& entry = it->second;
    if (entry.checkedAt != forgotten_) {
        // Something was forgotten since the last look: the chain up to where the DACL
        // stops inheriting must still be the one it was computed from.
        const Entry* link = &entry;
        while (link->inherits) {
            auto parent = dirs_.find(link->parent);
            if (parent == dirs_.end() || parent->second.serial != link->parentSerial) {
                order_.erase(entry.position);
                dirs_.erase(it);
                return {};
            }
            link = &parent->second;
        }
        entry.checkedAt = forgotten_;
    }
    order_.splice(order_.begin(), order_, entry.position);
    return {entry.dacl, entry.serial};
}

std::uint64_t Store::remember(const FileStamp& stamp, Inheritable dacl, bool inherits,
                              const DirKey& parent, std::uint64_t parentSerial) {
    if (!log_ || !log_->usable() || (inherits && parentSerial == 0)) {
        return 0;  // without the log another process's write would go unseen
    }
    // A directory changed within the file system's clock tick could change again, or be
    // replaced by one with the same inode number, without its times telling.
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
    std::int64_t age =
        (now.tv_sec - stamp.changed.tv_sec) * 1000000000LL + (now.tv_nsec - stamp.changed.tv_nsec);
    if (age < SettledNanoseconds) {
        return 0;
    }
    if (dirs_.count(stamp.key)) {
        forget(stamp.key);
    }
    // A walk needs the chain of directories above where it is; a bound keeps a walk over
    // a huge tree from holding every directory it passed.
    while (dirs_.size() >= bound_) {
        dirs_.erase(order_.back());
        order_.pop_back();
    }
    order_.push_front(stamp.key);
    std::uint64_t serial = ++serials_;
    dirs_.emplace(stamp.key, Entry{stamp, std::move(dacl), inherits, parent, parentSerial, serial,
                                   forgotten_, order_.begin()});
    return serial;
}

void Store::noteWrite(const struct stat* object) {
    if (log_ && log_->usable()) {
        log_->noteWrite();
        ++ownLogged_;
    }
    ++ownWrites_;
    if (!object) {
        ++untracked_;
        return;
    }
    if (lastOwnWrite_.size() >= MaxTrackedWrites) {
        lastOwnWrite_.clear();
        ++untracked_;
    }
    lastOwnWrite_[DirKey::of(*object)] = ownWrites_;
}

Store::ReadStamp Store::stampRead(const struct stat* object) const {
    ReadStamp stamp;
    stamp.foreignWrites = log_ && log_->usable() ? log_->writes() - ownLogged_ : 0;
    stamp.forgotten = forgotten_;
    stamp.ownWrites = ownWrites_;
    stamp.untracked = untracked_;
    if (object) {
        stamp.object = DirKey::of(*object);
    }
    return stamp;
}

bool Store::stillHolds(const ReadStamp& stamp, bool inherited) const {
    ReadStamp now = stampRead(nullptr);
    if (now.foreignWrites != stamp.foreignWrites || now.untracked != stamp.untracked ||
        (inherited && now.forgotten != stamp.forgotten)) {
        return false;
    }
    if (!stamp.object) {
        return now.ownWrites == stamp.ownWrites;
    }
    auto it = lastOwnWrite_.find(*stamp.object);
    return it == lastOwnWrite_.end() || it->second <= stamp.ownWrites;
}

void Store::invalidate(const DirKey& key) {
    forget(key);
    if (log_ && log_->usable()) {
        log_->publish(key);
        ++ownLogged_;
        seen_ = log_->head() > seen_ + 1 ? seen_ : log_->head();
    }
}

void Store::setBound(std::size_t bound) {
    bound_ = bound ? bound : MaxCachedDirectories;
    while (dirs_.size() > bound_) {
        dirs_.erase(order_.back());
        order_.pop_back();
    }
}

bool Store::logCheckDue(bool onHandle) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    std::int64_t at = now.tv_sec * 1000000000LL + now.tv_nsec;
    if (onHandle && at - logCheckedAt_ < LogCheckNanoseconds) {
        return false;
    }
    logCheckedAt_ = at;
    return true;
}

void Store::forget(const DirKey& key) {
    if (auto it = dirs_.find(key); it != dirs_.end()) {
        order_.erase(it->second.position);
        dirs_.erase(it);
    }
    ++forgotten_;
}

void Store::forgetAll() {
    dirs_.clear();
    order_.clear();
    ++forgotten_;
}

}  // namespace Platform::Posix::ObjectSecurity
