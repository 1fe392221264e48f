#include "manager/metadata_set.h"

#include <cstdint>
#include <set>
#include <utility>

#include "disksecurity/template_xml.h"
#include "manager/journal.h"
#include "manager/metadata_paths.h"
#include "platform/filesystem.h"
#include "platform/text.h"
#include "platform/xml.h"
#include "runtime/atomic_file.h"
#include "runtime/failures.h"
#include "runtime/filename.h"
#include "runtime/log.h"
#include "winsecurity/object_security.h"

namespace Tavrel {
namespace {

constexpr const char* saveFunction = "Tavrel::SecurityManager::saveToFile";

// A file holding such a character could never be read back.
void requireXmlText(const wchar_t* field, const std::wstring& value) {
    if (wchar_t c = firstCharacterXmlCannotCarry(value)) {
        throw vexception(formatString(L"The %s '%s' of an entry holds the character 0x%02X, "
                                      L"which a metadata file cannot carry",
                                      field, value, static_cast<std::uint32_t>(c)),
                         VSITE(saveFunction));
    }
}

// Runs `body`; whatever it throws leaves as a vexception carrying one more record of the save,
// caught in the order of the frame's handlers. A vexception keeps its class and gains the
// record.
template <typename Body>
void withSaveRecord(const std::wstring& text, std::int32_t line, Body&& body) {
    auto site = [&] { return CallSite{text, saveFunction, line}; };
    try {
        body();
    } catch (vexception& e) {
        e.add(site());
        throw;
    } catch (...) {
        throw currentFailure(site());
    }
}

}  // namespace

void givePanelOwnership(const HeldDirectory& parent, const std::wstring& name) {
    WinSecurity::enableOwnershipPrivileges();
    Platform::UniqueHandle entry =
        parent.openEntry(name, Platform::File::WriteOwner | Platform::File::ReadControl);
    if (!entry) {
        throwOsError(formatString(L"CreateFile(%s)", parent.pathOf(name)), Platform::getLastError(),
                     VSITE("Tavrel::givePanelOwnership"));
    }
    WinSecurity::takeOwnership(entry.get(), parent.pathOf(name));
}

wchar_t firstCharacterXmlCannotCarry(const std::wstring& value) {
    for (wchar_t c : value) {
        if ((c < 0x20 && c != L'\t' && c != L'\n' && c != L'\r') || c == 0xFFFE || c == 0xFFFF) {
            return c;
        }
    }
    return 0;
}

MetadataSet::MetadataSet(std::shared_ptr<IUserInformation> accountResolver)
    : entries_(std::make_shared<DiskSecurity::EntryTemplateSet>()),
      accountResolver_(std::move(accountResolver)) {}

void MetadataSet::bindTo(std::wstring file) {
    file_ = std::move(file);
    if (entries_->sourcePath().empty()) {
        entries_->setSourcePath(file_);
    }
}

void MetadataSet::load(const std::wstring& file, bool tolerant) {
    entries_ = DiskSecurity::loadTemplate(file, accountResolver_, tolerant, skipUnmappedAccounts_);
    file_ = file;
}

void MetadataSet::save(const std::wstring& fileName, const VPath& confinement,
                       RunJournal* journal) {
    if (file_.empty() && fileName.empty()) {
        throw vexception(L"Unable to save data to unknown path", VSITE(saveFunction));
    }
    if (!fileName.empty()) {
        file_ = fileName;
    }
    withSaveRecord(formatString(L"Save entries to '%s'", file_), __LINE__, [&] {
        std::wstring directory = VFileName::removeFileSpec(file_);
        std::wstring name = lastComponent(normalizePath(file_));
        bool panelFolder = MetadataPaths::namesMetadataDirectory(directory);
        if (panelFolder) {
            WinSecurity::enableOwnershipPrivileges();
        }
        HeldDirectory held = _holdSaveDirectory(directory, confinement);
        // The panel's metadata directory is hidden from the webspace's users.
        if (MetadataPaths::isMetadataDirectory(directory)) {
            std::uint32_t attributes = Platform::getFileAttributes(toLongPath(held.path()));
            if (attributes == Platform::InvalidFileAttributes ||
                !Platform::setFileAttributes(toLongPath(held.path()),
                                             (attributes & ~Platform::FileAttribute::Directory) |
                                                 Platform::FileAttribute::Hidden)) {
                throwOsError(formatString(L"SetFileAttributes(%s)", directory),
                             Platform::getLastError(), VSITE(saveFunction));
            }
        }
        // The new file is whole and on the disk before anything replaces the old one.
        std::unique_ptr<AtomicFile> replacement;
        withSaveRecord(L"Write entries to temporary file", __LINE__, [&] {
            replacement = std::make_unique<AtomicFile>(held, name, saveFunction);
            replacement->write(_serializeEntries());
        });
        // The file the run found is kept with the run's journal before it goes.
        if (journal) {
            journal->keepMetadata(held, name);
        }
        replacement->replaceTarget();
        if (panelFolder) {
            givePanelOwnership(held, name);
        }
        entries_->setSourcePath(file_);
        // What killed runs left is removed where only the tool keeps files: a save into a
        // user's directory (--update-path-security) leaves the user's files alone, whatever
        // their names.
        if (MetadataPaths::isMetadataDirectory(directory)) {
            AtomicFile::removeStaleTemporaries(held);
        }
        removeStalePrivateTemporaries();
    });
}

HeldDirectory MetadataSet::_holdSaveDirectory(const std::wstring& directory,
                                              const VPath& confinement) {
    if (directory.empty()) {
        std::wstring current;
        if (!Platform::getCurrentDirectory(current)) {
            throwOsError(L"GetCurrentDirectory", Platform::getLastError(), VSITE(saveFunction));
        }
        return HeldDirectory::openNamed(current);
    }
    bool missing = !fileExist(directory);
    if (missing) {
        LogManager::instance().log(LogWarning,
                                   L"Creating directory for security metadata file '%s'", file_);
    }
    // Metadata in the panel's folder of a webspace, or in the folder a run is confined to, lies
    // in folders the webspace's users control: it is reached from the drive root one checked
    // component at a time, and so is every folder made for it. `.tarno` itself belongs to the
    // panel. A template the operator names is written where the operator's path leads.
    if (MetadataPaths::namesMetadataDirectory(directory)) {
        HeldDirectory scope = HeldDirectory::open(VFileName::removeFileSpec(directory), true);
        HeldDirectory held = scope.child(lastComponent(directory), true);
        givePanelOwnership(scope, lastComponent(directory));
        return held;
    }
    PathRelation relation =
        confinement.empty() ? PathLess : comparePaths(directory, confinement.longForm());
    if (relation == PathEqual || relation == PathBelow) {
        return HeldDirectory::open(directory, true);
    }
    if (missing) {
        VDirectory::createDirectory(directory);
    }
    return HeldDirectory::openNamed(directory);
}

std::string MetadataSet::_serializeEntries() const {
    Platform::SaxXmlWriter writer(L"UTF-8");
    writer.startDocument();
    writer.startElement(L"Entries", {});
    for (const auto& entry : *entries_) {
        requireXmlText(L"path", entry.path);
        requireXmlText(L"sub path", entry.subPath);
        requireXmlText(L"tag", entry.tag);
        requireXmlText(L"second tag", entry.tag2);
        requireXmlText(L"domain name", entry.domainName);
        requireXmlText(L"account name", entry.accountName);
        try {
            DiskSecurity::saveEntry(entry, writer);
        } catch (const RunTime::NoneMappedException& e) {
            if (!skipUnmappedAccounts_) {
                throw;
            }
            LogManager::instance().log(LogWarning, L"%s", Platform::fromAnsi(e.what()));
        }
    }
    writer.endElement(L"Entries");
    writer.endDocument();
    return writer.output();
}

std::vector<DiskSecurity::EntryTemplate> MetadataSet::removeEntriesOf(const MetadataSet& other) {
    std::set<std::pair<std::wstring, std::wstring>> tagsOfOther;
    for (const auto& entry : *other.entries()) {
        tagsOfOther.emplace(Platform::toLower(entry.tag), Platform::toLower(entry.tag2));
    }
    auto kept = std::make_shared<DiskSecurity::EntryTemplateSet>(entries_->sourcePath());
    std::vector<DiskSecurity::EntryTemplate> removed;
    for (const auto& entry : *entries_) {
        if (tagsOfOther.count({Platform::toLower(entry.tag), Platform::toLower(entry.tag2)}) == 0) {
            kept->insert(entry);
        } else {
            removed.push_back(entry);
        }
    }
    entries_ = std::move(kept);
    return removed;
}

Platform::UniqueHandle holdMetadataInPlace(const std::wstring& file) {
    auto refuse = [](const wchar_t* what, const std::wstring& path) {
        throw vexception(formatString(L"The security metadata %s %s is a link or another reparse "
                                      L"point; nothing is read or written through it",
                                      what, stripLongPrefix(path)),
                         VSITE("Tavrel::holdMetadataInPlace"));
    };
    std::wstring directory = VFileName::removeFileSpec(file);
    Platform::UniqueHandle held;
    if (MetadataPaths::namesMetadataDirectory(directory) && fileExist(directory)) {
        held = VDirectory::openInPlace(directory);
        if (!held) {
            refuse(L"directory", directory);
        }
    }
    std::uint32_t attributes = 0;
    if (fileExist(file, attributes) && (attributes & Platform::FileAttribute::ReparsePoint)) {
        refuse(L"file", file);
    }
    return held;
}

}  // namespace Tavrel
