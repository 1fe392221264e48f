// The checkers: they walk the disk from a start path, give every directory its information,
// find out whether each object's DACL is what the entries require and write a new one where it
// is not. The caller steers a walk through flags and through a callback that can veto work,
// substitute informations and decide what an error means.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "disksecurity/checker_callback.h"
#include "disksecurity/checker_errors.h"
#include "disksecurity/last_judgements.h"
#include "disksecurity/report_file.h"
#include "disksecurity/security_information.h"
#include "disksecurity/write_batch.h"
#include "platform/filesystem.h"
#include "platform/types.h"
#include "platform/unique.h"
#include "runtime/filename.h"
#include "runtime/vpath.h"

namespace DiskSecurity {



// What a checker does with a wrong DACL (the values are those of the checker's flag bits).
enum class CheckMode : std::uint32_t {
    Repair = 0,       // computed, reported and written
    CheckOnly = 0x2,  // nothing is computed or written
    Simulate = 0x4,   // computed, logged and reported, not written
};

// Whether a walk in `mode` leaves the disk as it found it.
constexpr bool changesDisk(CheckMode mode) {
    return mode == CheckMode::Repair;
}

// How a checker walks and what it does.
struct CheckerOptions {
    CheckMode mode = CheckMode::Repair;
    // false: the fast algorithm, which visits only the paths that carry entries.
    bool walkAllChildren = true;
    // false: an object whose handle resolves to another path is refused.
    bool allowLinks = true;
    // Where every object whose DACL is written (or would be, when simulating) is listed (not
    // owned; null: nowhere).
    ReportFile* report = nullptr;
    // Where each write is recorded before it is made (not owned; null: nowhere). Simulated and
    // check-only walks write nothing and record nothing.
    IWriteJournal* journal = nullptr;
};

// What a walk has done so far. Updated as it goes; readable from another thread.
struct CheckerCounts {
    std::uint64_t checked = 0;  // objects whose DACL was read and judged
    std::uint64_t wrong = 0;    // of them, found wrong
    std::uint64_t written = 0;  // DACLs written (reported, when simulating)
    std::uint64_t failed = 0;   // objects and directory searches that raised an error
};

// Path status (pathStatus).
enum class PathStatus : std::int32_t {
    Missing = 0,
    File = 1,
    Directory = 3,
};
// A path that cannot be tested for access counts as missing.
PathStatus pathStatus(const std::wstring& path);

// Files are handled with their directory's information.
class SecurityChecker {
public:
    // `callback` is not owned and must outlive the checker; neither must the report file and
    // the journal of `options`.
    SecurityChecker(Callback& callback, const CheckerOptions& options,
                    TarnoComponentResolver* context);
    virtual ~SecurityChecker() = default;
    SecurityChecker(const SecurityChecker&) = delete;
    SecurityChecker& operator=(const SecurityChecker&) = delete;

    const CheckerOptions& options() const { return options_; }

    // Handles `path` and, as the walk decides, what lies below it. Raises AbortException when
    // the run is aborted.
    void checkPathSecurity(const SecurityInformationPtr& information, const VPath& path);

    CheckerCounts counts() const;

    virtual bool isDaclWrong(const VAcl& dacl, const SecurityInformation& information,
                             ObjectMode mode);
    virtual CallbackResult applySecurity(const SecurityInformation& information,
                                         const VAcl& existing, Platform::Handle handle,
                                         const VPath& path, ObjectMode mode);
    // Handles one path as a file, without children.
    virtual void checkPath(const SecurityInformationPtr& information, const VPath& path);
    virtual CallbackResult onError(ErrorCategory category, const std::wstring& text,
                                   const VPath& path, bool allEntriesFlag8);
    virtual CallbackResult beforeApply(const VPath& path, bool isDirectory);
    virtual CallbackResult beforeCheck(const VPath& path, bool isDirectory);
    virtual SecurityInformationPtr securityInformationFor(const SecurityInformationPtr& parent,
                                                          const VPath& path);

protected:
    // The DACL of the object opened for `path` that the checker judges (getObjectDacl): a
    // checker that looks at more of the descriptor reads it all here, in the same one read.
    virtual VAcl readDacl(Platform::Handle handle, const VPath& path, bool isDirectory);
    // Hears of every object the walk could not check or may not write, with the path as shown
    // and the reason in a few words ("link", "hard link, 2 links", "listing refused", ...),
    // after the failure was counted and before it is logged.
    virtual void skipped(const std::wstring& path, const std::wstring& reason);
    // Checks one object and writes its DACL when it is wrong; the callback's result. `listed`:
    // the directory search has just said what the object is.
    CallbackResult applyPath(const SecurityInformation& information, const VPath& path,
                             bool isDirectory, bool listed = false);
    [[noreturn]] void _abort();
    // The DACL to write on a child whose DACL is `existing`, remembered for the next one.
    NewAcl _newAcl(const SecurityInformation& information, const VAcl& existing,
                   const VPath& path, ObjectMode mode);
    // isDaclWrong's own judgement, without the memory of the last answer.
    bool _judgeDacl(const VAcl& dacl, const SecurityInformation& information, ObjectMode mode);
    // The information that file `path`, listed by the walk below `information`, gets of its
    // own: generated for it, or, when no entry names the file, the one that every such file of
    // the directory shares (they differ only in their path). Debugging generates each file's,
    // for its lines.
    SecurityInformationPtr _fileInformation(const SecurityInformationPtr& information,
                                            const VPath& path);
    // What `path`'s parent gives a file or a folder by inheritance; `scratch` holds it when it
    // is not the directory being enumerated.
    const VAccessControl& _inheritedFor(const VPath& path, bool isFile,
                                        std::optional<VAccessControl>& scratch);

private:
    // Makes walkPath_ the path a walk starts from, for the first directory it enumerates, and
    // gives the outer walk's back afterwards.
    class WalkStart {
    public:
        WalkStart(SecurityChecker& checker, const VPath& path) : checker_(checker) {
            if (&path != &checker_.walkPath_) {
                outer_ = std::exchange(checker_.walkPath_, path);
            }
        }
        ~WalkStart() {
            if (outer_) {
                checker_.walkPath_ = std::move(*outer_);
            }
        }
        // Whether the walk starts here.
        bool starts() const { return outer_.has_value(); }
        WalkStart(const WalkStart&) = delete;
        WalkStart& operator=(const WalkStart&) = delete;

    private:
        SecurityChecker& checker_;
        std::optional<VPath> outer_;
    };
    // A child's name on the directory's path for the while.
    class ChildPath {
    public:
        ChildPath(VPath& path, const std::wstring& name)
            : path_(path), length_(path.extend(name)) {}
        ~ChildPath() { path_.cutTo(length_); }
        ChildPath(const ChildPath&) = delete;
        ChildPath& operator=(const ChildPath&) = delete;

    private:
        VPath& path_;
        std::size_t length_;
    };
    // Hands the listed entry's name to the next applyPath, and takes it back afterwards.
    struct ListedName {
        ListedName(SecurityChecker& checker, const std::wstring& name) : checker_(checker) {
            checker_.listedName_ = &name;
        }
        ~ListedName() { checker_.listedName_ = nullptr; }
        ListedName(const ListedName&) = delete;
        ListedName& operator=(const ListedName&) = delete;

    private:
        SecurityChecker& checker_;
    };
    // A directory whose children are being handled: its DACL, read once for all of them, what
    // it gives a file and a folder by inheritance, and the information its files without
    // entries of their own share.
    struct ParentAcl {
        const SecurityInformation* information = nullptr;  // the directory's
        // The directory itself, held while its children are listed, opened and written through
        // it: it cannot be renamed or swapped meanwhile on Windows, and its children are
        // reached in it, not by a path that others may redirect.
        Platform::UniqueHandle handle;
        // Its name in the directory enumerated before it (null: the walk started here).
        const std::wstring* name = nullptr;
        SecurityInformationPtr plainFile;
        std::optional<VAcl> acl;
        std::optional<VAccessControl> forFile;
        std::optional<VAccessControl> forFolder;
    };

    // `knownStatus`: what the directory search has just said the path is.
    void _checkPathSecurity(const SecurityInformationPtr& information, const VPath& path,
                            std::optional<PathStatus> knownStatus);
    void _pathProcedure(const SecurityInformationPtr& parent, const VPath& path,
                        std::optional<PathStatus> knownStatus);
    // Checks the paths below `path` that entries name (the fast algorithm).
    void _fastAlgorithm(const SecurityInformationPtr& information, const VPath& path,
                        bool isDirectory);
    // Handles the children of the directory at `path`, which parents_.back() holds.
    CallbackResult _enumerateChildren(const SecurityInformationPtr& information,
                                      const VPath& path);
    // The first batch of the listing of the directory being enumerated (walkPath_), opened
    // again to be listed when its handle may not list it; an error handled as the directory's.
    CallbackResult _listFirst(const SecurityInformationPtr& information,
                              VDirectoryListing& listing,
                              std::vector<Platform::DirectoryEntry>& entries, bool& found);
    // Handles one listed entry of the directory being enumerated, its path made in walkPath_
    // for the while; the writes waiting are made when enough wait.
    CallbackResult _handleListed(const SecurityInformationPtr& information,
                                 const Platform::DirectoryEntry& entry);
    // Opens the directory being enumerated again, to be listed: its handle was opened without
    // the listing right while its DACL refused it, and the walk may have written it since.
    bool _reopenForListing(const VPath& path);
    // Handles the entry `entry` of the directory being enumerated, whose path walkPath_ holds.
    CallbackResult _visitChild(const SecurityInformationPtr& information,
                               const Platform::DirectoryEntry& entry);
    // A child whose path is longer than the walk goes, handled as an error of the child:
    // Ignore, or Abort.
    CallbackResult _tooLong(const SecurityInformationPtr& information, const VPath& child);
    // A path whose existence may not be asked, handled as an error of the path.
    CallbackResult _openRefused(const VPath& path, const SecurityInformation* information);
    // A refusal of the walk (`text` logged at Warning, `reason` to skipped), handled as an
    // error of the path: Ignore, or Abort.
    CallbackResult _refuse(const VPath& path, const SecurityInformation* information,
                           ErrorCategory category, std::wstring text, const std::wstring& reason);
    // Opens the object at `path` for its security: the entry `listedName` of the directory
    // being enumerated when the walk listed it, else by its path.
    Platform::UniqueHandle _open(const VPath& path, bool isDirectory, bool listed,
                                 const std::wstring* listedName);
    // Makes the token's owner the owner of the object at `path` (the entry `listedName` of the
    // directory being enumerated, when listed), through a handle opened for that alone; false
    // when it is not the plain object expected (a link, a second name).
    bool _takeOwnership(const VPath& path, bool isDirectory,
                        const std::wstring* listedName);
    // Continue when the opened object may have its DACL written through `handle`; else the
    // refusal is handled as an error of the path (Ignore or Abort). `listed`: opened as an
    // entry of the directory being enumerated, never followed; else reached by its path, which
    // must be the object's own.
    CallbackResult _mayWriteThrough(Platform::Handle handle, const SecurityInformation& information,
                                    const VPath& path, bool isDirectory, bool listed);
    // The exception being handled (or `error`) goes to onError and the log; the answer, with
    // 0 counted as Ignore.
    CallbackResult _handleError(const VPath& path, const SecurityInformation* information);
    CallbackResult _handleError(const VPath& path, const SecurityInformation* information,
                                const CaughtError& error, const std::wstring& reason);
    CallbackResult _handleError(const VPath& path, bool allEntriesFlag8,
                                const CaughtError& error, const std::wstring& reason);
    // Journals the writes waiting in pending_ in one record, then makes them; false when the
    // last of them failed. A write that fails is handled as an error of its path; Abort once
    // all were tried.
    bool _flushWrites();
    void _report(const VPath& path);

    Callback& callback_;
    CheckerOptions options_;
    TarnoComponentResolver* context_;
    std::vector<ParentAcl> parents_;  // one per directory whose children are being enumerated
    LastJudgements last_;
    // The path of the object being handled below the directory enumerated first: each level
    // appends its child's name and cuts it off again, so that the walk holds one path however
    // deep it goes.
    VPath walkPath_;
    // The name of the next object applyPath handles, an entry of the directory being
    // enumerated (null: the object is reached by its path).
    const std::wstring* listedName_ = nullptr;
    // Whether the object applySecurity handles is an entry of the directory being enumerated.
    bool listedChild_ = false;
    // The directory applyPath handled last, held for its children, and the DACL it holds as
    // read through the handle (empty when the walk wrote it: read again when a child needs it).
    Platform::UniqueHandle handledDirectory_;
    std::optional<VAcl> handledDirectoryDacl_;
    // The whole descriptor applyPath read, when the walk journals what it writes.
    std::vector<std::uint8_t> descriptor_;
    // The DACL writes of a directory's files, judged and reported, waiting to be journaled
    // together and made; `deferred_`: the object applyPath handles now is the last of them and
    // hands its handle over.
    WriteBatch pending_;
    bool deferred_ = false;

    std::atomic<std::uint64_t> checked_{0};
    std::atomic<std::uint64_t> wrong_{0};
    std::atomic<std::uint64_t> written_{0};
    std::atomic<std::uint64_t> failed_{0};
};

// Gives every file its own information, so that entries on single files apply.
class CompleteChecker : public SecurityChecker {
public:
    using SecurityChecker::SecurityChecker;
    void checkPath(const SecurityInformationPtr& information, const VPath& path) override;
};

}  // namespace DiskSecurity
