// The journal of a run: before a run writes an object's security it records the object's path
// and its whole descriptor as it was, and before it replaces a metadata file it keeps a copy,
// so that --restore-security can put every one of them back.
//
// One file per run in PRODUCT_ROOT_D\var\journal (SYSTEM and Administrators only), named
// "<UTC time>-<process id>-<scope>.journal", UTF-8 with CRLF line ends:
//   #tavrel-journal<TAB>1
//   #time<TAB>20240501T101500.123Z
//   #command<TAB><the command line>
//   #scope<TAB>webspace<TAB>NAME   (or "fs", or "path<TAB>DIRECTORY")
//   PATH<TAB>SDDL                  one object a line, in the order written
//   #metadata<TAB>PATH<TAB>KEPT    a metadata file the run replaced, kept beside the journal
//                                  as KEPT (empty: there was none before the run)
// The file is made when the run first writes, so a run that changes nothing leaves none and
// does not push a useful journal out of the twenty kept. Each line is written whole before the
// write it records, and a line cut short by the disk is cut off again: the file is a valid
// journal after every line.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "disksecurity/security_checker.h"
#include "platform/unique.h"
#include "runtime/held_directory.h"
#include "runtime/vpath.h"

namespace Tavrel {

// What a run names, and so which mutex it holds and which journals it counts with.
struct JournalScope {
    enum class Kind { None, Webspace, FileSharing, Path };
    Kind kind = Kind::None;
    std::wstring name;  // the webspace name or the directory; empty for the other kinds
    // A check-only run's journal (it holds the metadata a save replaced), kept and pruned
    // apart from those of the runs that wrote DACLs, so that check-only runs never push a
    // useful journal out.
    bool checkOnly = false;

    // "webspace<TAB>NAME", "fs", "path<TAB>DIRECTORY".
    std::wstring text() const;
    // The reverse of text(); raises a vexception for anything else.
    static JournalScope fromText(const std::wstring& text);
    // What a journal's file name says of its scope: "ws.NAME", "fs", "path.<directory>" (every
    // character but letters, digits, '.', '-' and '_' as '_', at most 100 characters), then "."
    // and 16 hexadecimal digits of a hash of the exact scope (letter case aside), and ".check"
    // for a check-only run: the folded part is for a person, the hash keeps scopes that fold
    // alike ("müller.de", "möller.de") apart.
    std::wstring fileTag() const;
};

constexpr std::int32_t JournalFormatVersion = 1;
constexpr std::size_t JournalsKept = 20;

class RunJournal : public DiskSecurity::IWriteJournal {
public:
    // A journal of `scope` (Kind::None: the run journals nothing). Nothing is written yet. Gone
    // unfinished (the run failed), it keeps what it wrote and prunes nothing. The run hands it
    // to whatever writes: the walks and the saves of its security manager, the restore.
    explicit RunJournal(JournalScope scope);
    ~RunJournal() override;
    RunJournal(const RunJournal&) = delete;
    RunJournal& operator=(const RunJournal&) = delete;

    // Whether the run journals anything: its scope names one.
    bool records() const { return scope_.kind != JournalScope::Kind::None; }

    // Before anything is recorded: the scope the run turned out to have.
    void setScope(JournalScope scope);
    const JournalScope& scope() const { return scope_; }
    // The directory of the journals: PRODUCT_ROOT_D\var\journal.
    static std::wstring directory();
    // The journal's file, empty while nothing was recorded.
    const std::wstring& file() const { return file_; }

    // Appends the lines of whole descriptors read before, in one write.
    void record(std::span<const DiskSecurity::JournalRecord> records) override;
    // Reads the whole descriptor of the opened object and appends its line.
    void record(const VPath& path, Platform::Handle handle);
    void recordSddl(const VPath& path, const std::wstring& sddl);
    // Keeps a copy of the metadata file `name` of `directory` (or notes that there is none) the
    // first time the run is about to replace or move it.
    void keepMetadata(const HeldDirectory& directory, const std::wstring& name);

    // After a run that succeeded: the file on the disk, and only the newest JournalsKept
    // journals of the scope (with their kept files) left. A journal that cannot be flushed
    // raises the operating-system error and removes nothing: the run fails, and the older
    // journals are what still restores. Failures of the pruning are logged.
    void finish();

private:
    void _open();
    void _append(const std::wstring& text);
    void _prune();

    JournalScope scope_;
    std::wstring file_;
    Platform::UniqueHandle handle_;
    std::int64_t size_ = 0;  // bytes of whole lines in the file
    std::int32_t keptCount_ = 0;
    std::vector<std::wstring> keptFiles_;
    // The last descriptor written out and its text: the objects of a tree mostly had the same.
    std::vector<std::uint8_t> lastDescriptor_;
    std::wstring lastSddl_;
};

// A journal read back: its header and lines, every one checked.
struct JournalContents {
    struct Object {
        VPath path;
        std::wstring sddl;
    };
    struct Metadata {
        VPath path;
        std::wstring kept;  // a file beside the journal; empty: there was none
    };
    JournalScope scope;
    std::vector<Object> objects;  // in the order written
    std::vector<Metadata> metadata;
};

// Reads and checks the journal `file` whole: it must lie in the journals' folder itself (a
// regular file with one name, no link); then the format version, the scope, every line; a path
// must lie in HTTPD_VHOSTS_D, a descriptor must parse, a kept file must be a plain name that
// exists beside the journal. Raises a vexception naming the first bad line.
JournalContents readJournal(const std::wstring& file);

// Raises a vexception naming the first object or metadata file of `contents` that does not lie
// in `directory`, the directory of the journal's scope: a restore holds that scope's mutex
// only, and writes nothing that another scope's runs may be writing.
void requireWithin(const JournalContents& contents, const VPath& directory,
                   const std::wstring& file);

// Writes every recorded descriptor back, the last recorded first (an object recorded twice
// gets what the run found), each object opened as the checker opens it, and puts back the
// metadata files, each reached from the held `scopeDirectory` (the directory of the journal's
// scope) one component at a time, never through a link; every write journaled in `journal`
// first. With `checkOnly` writes nothing and prints one line per object to standard output
// instead. Objects and files that cannot be written are logged by name, the others still
// restored, and the run then fails.
void restoreJournal(const std::wstring& file, const JournalContents& contents,
                    const VPath& scopeDirectory, bool checkOnly, RunJournal& journal);

}  // namespace Tavrel
