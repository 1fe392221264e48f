// The DACL writes of a directory's files, each judged and reported, journaled together in one
// record ahead of them and then made: a record ahead of its write still restores what was
// there, so a run killed between the two leaves nothing a restore cannot mend.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "disksecurity/checker_errors.h"
#include "disksecurity/security_information.h"
#include "platform/unique.h"
#include "runtime/vpath.h"

namespace DiskSecurity {

// What an object at `path` (as shown) holds before the walk writes it: its owner, group and
// DACL (WinSecurity::getWholeDescriptor).
struct JournalRecord {
    std::wstring_view path;
    std::span<const std::uint8_t> descriptor;
};

// Hears of the descriptor writes of a walk before they are made, with the objects open: the
// files of one directory a batch at a time.
class IWriteJournal {
public:
    virtual ~IWriteJournal() = default;
    // Records every one of `records` in one write. A throw keeps all their writes from
    // happening and ends the run (StopRunException).
    virtual void record(std::span<const JournalRecord> records) = 0;
};

class WriteBatch {
public:
    // The most writes that wait for one record.
    static constexpr std::size_t Limit = 64;

    // A write of `acl` through `handle` (opened for `path`, and owned by `owned` when the batch
    // keeps it open), whose object holds `descriptor` now; `allEntriesFlag8` as the checker's
    // callbacks take it.
    struct Write {
        VPath path;
        Platform::Handle handle = nullptr;
        Platform::UniqueHandle owned;
        NewAcl acl;
        std::vector<std::uint8_t> descriptor;
        bool allEntriesFlag8 = false;
    };
    // A write that failed, with what went wrong.
    struct Failure {
        VPath path;
        bool allEntriesFlag8 = false;
        CaughtError error;
    };

    void add(Write write) { writes_.push_back(std::move(write)); }
    Write& last() { return writes_.back(); }
    std::size_t size() const { return writes_.size(); }

    // Records every waiting write in `journal` in one call, then makes them; the writes that
    // failed. A journal that cannot record raises StopRunException and nothing is written.
    // `written` is called for each write made.
    template <typename Written>
    std::vector<Failure> flush(IWriteJournal& journal, Written&& written) {
        std::vector<Write> batch = std::exchange(writes_, {});
        _record(journal, batch);
        std::vector<Failure> failures;
        for (Write& write : batch) {
            if (std::optional<Failure> failure = _make(write)) {
                failures.push_back(std::move(*failure));
            } else {
                written();
            }
        }
        return failures;
    }

private:
    static void _record(IWriteJournal& journal, const std::vector<Write>& batch);
    static std::optional<Failure> _make(Write& write);

    std::vector<Write> writes_;
};

}  // namespace DiskSecurity
