// The log through which the processes of one host tell each other which directories' security
// descriptors changed (change_log.cpp). POSIX only.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>

#include "platform/posix/host/unique_fd.h"

namespace Platform::Posix::ObjectSecurity {

// A directory by identity: what the cache and the change log know it by, so that every path
// leading to it (through links, or after a rename) finds the same entry.
struct DirKey {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const DirKey&) const = default;
    static DirKey of(const struct stat& st) { return {st.st_dev, st.st_ino}; }
};
struct DirKeyHash {
    std::size_t operator()(const DirKey& key) const {
        return std::hash<std::uint64_t>()(static_cast<std::uint64_t>(key.inode) * 31 +
                                          static_cast<std::uint64_t>(key.device));
    }
};

// The directories whose descriptor was written, told to every process of the host through
// `<host>/security.changes`: a count of all descriptor writes, the sequence number of the
// last directory change, and a ring of the last directories changed. A process more than a
// ring behind, or one that finds a slot overwritten while it reads, forgets everything
// instead; a writer publishes after its write, so a reader never keeps what predates it.
class ChangeLog {
public:
    static constexpr std::uint64_t Slots = 1024;

    // Opens (or creates) the log; unusable when it cannot be mapped whole.
    explicit ChangeLog(const std::filesystem::path& file);
    ~ChangeLog();
    ChangeLog(const ChangeLog&) = delete;
    ChangeLog& operator=(const ChangeLog&) = delete;

    bool usable() const { return shared_ != nullptr; }
    // Whether the mapping still lies within the file: a page that another process cut off
    // the end would kill this one with SIGBUS when touched, and a file removed or replaced
    // no longer reaches the other processes.
    bool intact() const;
    std::uint64_t writes() const { return atomic(shared_->writes).load(); }
    std::uint64_t head() const { return atomic(shared_->head).load(); }

    void noteWrite() { atomic(shared_->writes).fetch_add(1); }
    void publish(const DirKey& key);
    // The directory changed as `sequence` (1-based), if the ring still holds it whole.
    std::optional<DirKey> at(std::uint64_t sequence) const;

private:
    struct Slot {
        std::uint64_t sequence;
        std::uint64_t device;
        std::uint64_t inode;
    };
    struct Shared {
        std::uint64_t writes;
        std::uint64_t head;
        Slot slots[Slots];
    };
    static std::atomic_ref<std::uint64_t> atomic(std::uint64_t& value) {
        return std::atomic_ref<std::uint64_t>(value);
    }

    Shared* shared_ = nullptr;
    UniqueFd fd_;
};

}  // namespace Platform::Posix::ObjectSecurity
