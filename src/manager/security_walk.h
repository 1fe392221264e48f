// The walk: what runs the security checker over a path with a set's entries, confined to the
// directory a run may change, and answers the checker's questions on the way (the metadata of
// a web user when the walk enters that user's directory). It is handed the run's journal and
// report; it keeps what a run must hear of at its end: the metadata files it found damaged and
// the objects it could not check.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "disksecurity/security_checker.h"
#include "manager/metadata_locator.h"
#include "manager/metadata_set.h"
#include "runtime/vpath.h"

namespace Tavrel {

class RunJournal;

// What a run shows of a walk while it goes: the walk hands the active checker's counts to it
// now and then, and once more when an apply step ends.
class IProgress {
public:
    virtual ~IProgress() = default;
    // `done`: the apply step over `path` has ended (the counts are final).
    virtual void onProgress(const VPath& path, const DiskSecurity::CheckerCounts& counts,
                            bool done) = 0;
};

class SecurityWalk : public DiskSecurity::Callback {
public:
    // The checker a walk runs: for walks that judge objects in their own way (the audit).
    using CheckerFactory = std::function<std::unique_ptr<DiskSecurity::SecurityChecker>(
        DiskSecurity::Callback& callback, const DiskSecurity::CheckerOptions& options,
        DiskSecurity::TarnoComponentResolver* context)>;

    // `locator` says which metadata governs each directory; `journal` (not owned; null: none)
    // records every object before a walk that changes the disk writes it, when it journals.
    SecurityWalk(MetadataLocator& locator, RunJournal* journal);
    SecurityWalk(const SecurityWalk&) = delete;
    SecurityWalk& operator=(const SecurityWalk&) = delete;

    // The directory that the walks may change, whatever the entries say (they may come from a
    // file that the webspace's user wrote): a walk starts only at it or below it, entries that
    // bear on nothing in it are logged and skipped, and the folders of entries are created
    // only below it. Empty: no confinement.
    void confineTo(VPath directory) { confinement_ = std::move(directory); }
    const VPath& confinement() const { return confinement_; }

    // The report of the complete checker (not owned; null: none), which serves every walk
    // until it is set again.
    DiskSecurity::ReportFile* reportFile() const { return reportFile_; }
    void setReportFile(DiskSecurity::ReportFile* report) { reportFile_ = report; }
    // Where the walks report their progress (not owned; null: nowhere).
    void setProgress(IProgress* progress) { progress_ = progress; }

    // Runs the checker over `path` with the entries of `metadata`: the checker `makeChecker`
    // builds when there is one, else CompleteChecker (`complete`, with the report file) or
    // SecurityChecker; `mode` is the checker's, `fullScan` its walkAllChildren; links are
    // refused. `callback` (null: the default answers) hears the checker's questions for the
    // run. A path outside the confinement is refused; an abort of the walk ends the step
    // quietly; every other failure passes.
    void run(const VPath& path, const MetadataSet& metadata,
             DiskSecurity::Callback* callback, DiskSecurity::CheckMode mode, bool fullScan,
             bool complete, const CheckerFactory* makeChecker = nullptr);

    // The metadata files that a walk found damaged and whose directories it left as they were.
    const std::vector<std::wstring>& damagedMetadata() const { return damagedMetadata_; }
    // `file` was rebuilt: it no longer counts as left damaged.
    void forgetDamaged(const std::wstring& file);
    // `file` was damaged, kept as `kept` and built anew: the run still fails, naming both (the
    // entries the file held are gone from the new one).
    void noteRebuilt(const std::wstring& file, const std::wstring& kept) {
        rebuiltMetadata_.emplace_back(file, kept);
    }
    // Raises a vexception naming every damaged metadata file that is still left as it was, and
    // every one that was built anew with its kept copy.
    void requireNoDamagedMetadata() const;
    // requireNoDamagedMetadata, then raises a vexception when a walk could not check or write
    // an object (a link, a second name, a refusal, a path too long: each was logged at Warning
    // with its path): a run must not end well with part of its tree unseen.
    void requireEverythingChecked() const;

    // --- the checker's callback ---
    DiskSecurity::CallbackResult onError(DiskSecurity::ErrorCategory category,
                                         const std::wstring& text, const VPath& path,
                                         bool allEntriesFlag8) override;
    DiskSecurity::CallbackResult beforeApply(const VPath& path, bool isDirectory) override;
    DiskSecurity::CallbackResult beforeCheck(const VPath& path, bool isDirectory) override;
    // The information for `path` and below: a new root information over the metadata file
    // that governs the path when that file exists and is not the one the parent information
    // came from; else the run's callback's answer, or the parent information.
    DiskSecurity::SecurityInformationPtr securityInformationFor(
        const DiskSecurity::SecurityInformationPtr& parent, const VPath& path,
        DiskSecurity::TarnoComponentResolver* context) override;

private:
    // Refuses a path outside the confinement.
    void _requireConfined(const VPath& path);
    std::unique_ptr<DiskSecurity::SecurityChecker> _makeChecker(
        DiskSecurity::CheckerOptions& options, DiskSecurity::TarnoComponentResolver& context,
        bool complete, const CheckerFactory* makeChecker);
    // The folder below which the folders of entries may be created.
    std::wstring _folderAnchor();
    // Loads the metadata file that the walk switches to; a damaged file is logged and noted,
    // and gives null.
    DiskSecurity::EntryTemplateSetPtr _loadSwitchedMetadata(const std::wstring& file);

    MetadataLocator& locator_;
    RunJournal* journal_;  // not owned
    VPath confinement_;
    DiskSecurity::ReportFile* reportFile_ = nullptr;  // not owned
    IProgress* progress_ = nullptr;                   // not owned
    std::vector<std::wstring> damagedMetadata_;
    std::vector<std::pair<std::wstring, std::wstring>> rebuiltMetadata_;
    std::uint64_t uncheckedObjects_ = 0;  // the errors the walks handed to onError
    bool takeOverPrivileges_ = false;     // enabled for the run
    // While a walk runs: the set it applies, the run's callback and the checker.
    const MetadataSet* metadata_ = nullptr;
    DiskSecurity::Callback* chainedCallback_ = nullptr;
    DiskSecurity::SecurityChecker* activeChecker_ = nullptr;
    // When the progress was last shown, and the objects since the clock was last read.
    std::chrono::steady_clock::time_point lastShown_{};
    std::uint32_t progressTick_ = 0;
};

}  // namespace Tavrel
