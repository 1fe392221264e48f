// The directories whose security descriptors changed, told to every process of the host. A
// descriptor write to a directory (by any process of the host) or a directory move is published
// in `<host>/security.changes`, and each process forgets that directory and what lies below it,
// nothing else (dacl_cache.cpp); every descriptor write is counted there too, so that what a
// handle read is dropped when any descriptor of the host was written.
#include "platform/posix/security/change_log.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <atomic>

namespace Platform::Posix::ObjectSecurity {

ChangeLog::ChangeLog(const std::filesystem::path& file) {
    UniqueFd fd(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    struct stat st;
    if (!fd || ::fstat(fd.get(), &st) != 0) {
        return;
    }
    // Two processes extending a new file at once both make it zeros. The blocks are
    // allocated, not left sparse: a mapped page without one would kill the process with
    // SIGBUS on a full disk, where allocating fails here and the host goes without the log.
    if (::posix_fallocate(fd.get(), 0, sizeof(Shared)) != 0) {
        return;
    }
    void* p = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (p != MAP_FAILED) {
        shared_ = static_cast<Shared*>(p);
        fd_ = std::move(fd);
    }
}

ChangeLog::~ChangeLog() {
    if (shared_) {
        ::munmap(shared_, sizeof(Shared));
    }
}

bool ChangeLog::intact() const {
    struct stat st;
    return ::fstat(fd_.get(), &st) == 0 && st.st_size >= static_cast<off_t>(sizeof(Shared)) &&
           st.st_nlink > 0;
}

void ChangeLog::publish(const DirKey& key) {
    std::uint64_t sequence = atomic(shared_->head).fetch_add(1) + 1;
    Slot& slot = shared_->slots[sequence % Slots];
    atomic(slot.sequence).store(0);
    atomic(slot.device).store(static_cast<std::uint64_t>(key.device));
    atomic(slot.inode).store(static_cast<std::uint64_t>(key.inode));
    atomic(slot.sequence).store(sequence);
    noteWrite();
}

std::optional<DirKey> ChangeLog::at(std::uint64_t sequence) const {
    Slot& slot = shared_->slots[sequence % Slots];
    if (atomic(slot.sequence).load() != sequence) {
        return std::nullopt;
    }
    DirKey key{static_cast<dev_t>(atomic(slot.device).load()),
               static_cast<ino_t>(atomic(slot.inode).load())};
    if (atomic(slot.sequence).load() != sequence) {
        return std::nullopt;
    }
    return key;
}

}  // namespace Platform::Posix::ObjectSecurity
