// One set of security metadata: its entries (an EntryTemplateSet), the file it is bound to,
// and their XML form on the disk. A set is filled by loading a metadata or template file, by a
// default template (default_templates.h) or by a template expansion (template_expander.h),
// and saved back whole.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "accounts/user_information.h"
#include "disksecurity/entry_template.h"
#include "platform/unique.h"
#include "runtime/held_directory.h"
#include "runtime/vpath.h"

namespace Tavrel {

class RunJournal;

// The first character of `value` that no metadata file can carry (XML 1.0 takes no control
// character but tab, line feed and carriage return, not even as a reference), or 0 for none.
wchar_t firstCharacterXmlCannotCarry(const std::wstring& value);

// Raises a vexception when the metadata file `file`, or the ".tarno" directory it lies in (any
// letter case), is a link or another reparse point: nothing is read or written through one.
// Returns that directory opened in place (VDirectory::openInPlace), or no handle when `file`
// lies in no ".tarno" or it does not exist yet.
Platform::UniqueHandle holdMetadataInPlace(const std::wstring& file);

// Makes the token's default owner (Administrators, or SYSTEM, as Windows makes it for what
// SYSTEM creates) the owner of the entry `name` of `parent`: the panel's metadata folder and
// files belong to the panel. An owner may always rewrite a DACL, so a webspace's user who made
// ".tarno" or a file in it before the first repair would otherwise keep a way in.
void givePanelOwnership(const HeldDirectory& parent, const std::wstring& name);

class MetadataSet {
public:
    // An empty set bound to no file; accounts are named and resolved through `accountResolver`.
    explicit MetadataSet(std::shared_ptr<IUserInformation> accountResolver);

    const std::shared_ptr<DiskSecurity::EntryTemplateSet>& entries() const { return entries_; }
    const std::shared_ptr<IUserInformation>& accountResolver() const { return accountResolver_; }
    // The metadata file the set is bound to (empty: none).
    const std::wstring& file() const { return file_; }
    // Binds the set to `file`; the entries keep `file` as their source when they have none.
    void bindTo(std::wstring file);

    // Entries whose account no longer resolves are logged and skipped when loading and saving
    // (on by default); off, they fail the load or the save.
    bool skipUnmappedAccounts() const { return skipUnmappedAccounts_; }
    void setSkipUnmappedAccounts(bool skip) { skipUnmappedAccounts_ = skip; }

    // Replaces the entries by those of `file` (a template file or a directory of them; missing:
    // an empty set) and binds the set to it. `tolerant`: bad entries are logged and dropped.
    void load(const std::wstring& file, bool tolerant);

    // Writes the entries to `fileName`, or to the bound file when it is empty; a given name
    // becomes the bound one. Missing directories are created and a ".tarno" directory is
    // hidden; below `confinement` (empty: none) every folder is reached and made one checked
    // component at a time. The file is replaced whole (AtomicFile), keeping the security of the
    // file it replaces: a reader (and a crash) sees either the old file or the new one, and
    // `journal` (null: none) keeps the old one first. Then what killed runs left is removed
    // from the tool's own folders only: the target's directory when it is a ".tarno", and the
    // private temporary folder (removeStaleFiles).
    void save(const std::wstring& fileName, const VPath& confinement, RunJournal* journal);

    // Drops every entry whose Tag and Tag2 (letter case ignored) are those of an entry of
    // `other`, and returns the entries dropped.
    std::vector<DiskSecurity::EntryTemplate> removeEntriesOf(const MetadataSet& other);

private:
    // The directory of a save to `directory`, held (and made when missing, with a warning).
    HeldDirectory _holdSaveDirectory(const std::wstring& directory, const VPath& confinement);
    // The whole document: declaration, "Entries" and one "Entry" per entry in set order.
    std::string _serializeEntries() const;

    std::shared_ptr<DiskSecurity::EntryTemplateSet> entries_;
    std::wstring file_;
    bool skipUnmappedAccounts_ = true;
    std::shared_ptr<IUserInformation> accountResolver_;
};

}  // namespace Tavrel
