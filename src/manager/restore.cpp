// The reading side of a run's journal, and the restore that writes it back.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "manager/journal.h"
#include "manager/metadata_paths.h"
#include "manager/security_manager.h"
#include "platform/filesystem.h"
#include "platform/system.h"
#include "platform/text.h"
#include "runtime/config.h"
#include "runtime/exceptions.h"
#include "runtime/atomic_file.h"
#include "runtime/filename.h"
#include "runtime/held_directory.h"
#include "runtime/log.h"
#include "winsecurity/object_descriptor.h"
#include "winsecurity/object_security.h"

namespace Tavrel {
namespace {

constexpr const char* readFunction = "Tavrel::readJournal";
constexpr const char* restoreFunction = "Tavrel::restoreJournal";
// A journal names each object of a webspace once per run; no journal of a real run comes
// near this, and a larger file is not read into memory.
constexpr std::int64_t maxJournalBytes = std::int64_t{1} << 30;

// A file of the journals' folder, read whole: a regular file with one name, reached in that
// folder itself, never through a link.
std::string readJournalFile(const HeldDirectory& folder, const std::wstring& name) {
    std::wstring file = folder.pathOf(name);
    Platform::UniqueHandle handle =
        folder.openFile(name, Platform::File::GenericRead, Platform::File::OpenExisting);
    std::int64_t size = 0;
    if (!handle || !Platform::getFileSizeEx(handle.get(), size)) {
        throwOsError(formatString(L"Unable to open the journal %s", file),
                     Platform::getLastError(), VSITE(readFunction));
    }
    if (size > maxJournalBytes) {
        throw vexception(formatString(L"The journal %s is larger than 1 GiB", file),
                         VSITE(readFunction));
    }
    return readToEnd(handle.get(), formatString(L"Unable to read the journal %s", file),
                     readFunction);
}

std::vector<std::wstring> splitTabs(const std::wstring& line) {
    std::vector<std::wstring> fields;
    std::size_t begin = 0;
    for (;;) {
        std::size_t tab = line.find(L'\t', begin);
        fields.push_back(line.substr(begin, tab - begin));
        if (tab == std::wstring::npos) {
            return fields;
        }
        begin = tab + 1;
    }
}

// HTTPD_VHOSTS_D, which a restore may only write inside, and its value as the refusals name it.
struct Vhosts {
    VPath path;
    std::wstring text;
};

// A path of the journal, which a restore may only write inside HTTPD_VHOSTS_D.
VPath checkedPath(const std::wstring& path, const Vhosts& vhosts) {
    VPath entered(path);
    if (path.size() < 3 || path[1] != L':' || !entered.isAtOrBelow(vhosts.path)) {
        throw vexception(formatString(L"the path %s lies outside %s", path, vhosts.text),
                         VSITE(readFunction));
    }
    return entered;
}

// One line of the journal into `contents`; raises a vexception saying what is wrong with it.
void readLine(const std::wstring& line, const HeldDirectory& folder, const Vhosts& vhosts,
              JournalContents& contents, bool& scoped) {
    std::vector<std::wstring> fields = splitTabs(line);
    if (fields[0] == L"#time" || fields[0] == L"#command") {
        return;
    }
    if (fields[0] == L"#scope") {
        contents.scope = JournalScope::fromText(line.substr(line.find(L'\t') + 1));
        scoped = true;
        return;
    }
    if (fields[0] == L"#metadata" && fields.size() == 3) {
        const std::wstring& kept = fields[2];
        if (!kept.empty() && (kept.find_first_of(L"\\/:") != std::wstring::npos ||
                              kept.front() == L'.' || !folder.exists(kept))) {
            throw vexception(formatString(L"the kept metadata file '%s' is not beside the journal",
                                          kept),
                             VSITE(readFunction));
        }
        contents.metadata.push_back({checkedPath(fields[1], vhosts), kept});
        return;
    }
    if (fields.size() != 2 || fields[0].empty() || fields[0][0] == L'#') {
        throw vexception(L"the line does not parse", VSITE(readFunction));
    }
    WinSecurity::wholeDescriptorFromSddl(fields[1]);
    contents.objects.push_back({checkedPath(fields[0], vhosts), fields[1]});
}

// The folder of the journals, held: a journal is taken from there and nowhere else, so that
// one a tenant wrote in its own folders, naming another webspace as its scope, is no journal.
HeldDirectory journalFolder(const std::wstring& file) {
    std::wstring folder = VFileName::removeFileSpec(normalizePath(file));
    if (comparePaths(folder, RunJournal::directory()) != PathEqual) {
        throw vexception(formatString(L"The journal %s cannot be restored: journals are taken only "
                                      L"from %s",
                                      stripLongPrefix(file), RunJournal::directory()),
                         VSITE(readFunction));
    }
    return HeldDirectory::open(folder);
}

// Puts the kept copy of a metadata file back in its place in one step, or removes a file the
// run made where there was none. The place is reached from the held directory of the journal's
// scope, one component at a time, none of them followed when it is a link: the folders on the
// way are the tenant's, and may lead anywhere by now.
void putBackMetadata(const JournalContents::Metadata& metadata, const HeldDirectory& scope,
                     const HeldDirectory& journals, RunJournal& journal) {
    std::vector<std::wstring> names = splitPathComponents(metadata.path.shown());
    std::size_t depth = splitPathComponents(scope.path()).size();
    std::optional<HeldDirectory> below;
    for (std::size_t i = depth; i + 1 < names.size(); ++i) {
        below = (below ? *below : scope).child(names[i], true);
    }
    const HeldDirectory& folder = below ? *below : scope;
    const std::wstring& name = names.back();
    journal.keepMetadata(folder, name);
    if (metadata.kept.empty()) {
        folder.remove(name);
        return;
    }
    AtomicFile replacement(folder, name, restoreFunction);
    replacement.write(readJournalFile(journals, metadata.kept));
    replacement.replaceTarget();
    if (MetadataPaths::namesMetadataDirectory(folder.path())) {
        givePanelOwnership(folder, name);
    }
}

}  // namespace

JournalContents readJournal(const std::wstring& file) {
    HeldDirectory folder = journalFolder(file);
    std::string bytes = readJournalFile(folder, lastComponent(file));
    std::wstring value = panelParameter(L"HTTPD_VHOSTS_D");
    Vhosts vhosts{VPath(value), stripLongPrefix(normalizePath(value))};
    JournalContents contents;
    bool scoped = false;
    std::size_t number = 0;
    for (std::size_t begin = 0; begin < bytes.size(); ++number) {
        std::size_t end = bytes.find("\r\n", begin);
        std::wstring line = Platform::fromUtf8(
            std::string_view(bytes).substr(begin, end == std::string::npos ? end : end - begin));
        try {
            if (end == std::string::npos || line.find_first_of(L"\r\n") != std::wstring::npos ||
                line.find(L'\0') != std::wstring::npos) {
                throw vexception(L"the line does not end in CR LF", VSITE(readFunction));
            }
            if (number == 0) {
                if (line != formatString(L"#tavrel-journal\t%d", JournalFormatVersion)) {
                    throw vexception(L"it is no journal of this version", VSITE(readFunction));
                }
            } else {
                readLine(line, folder, vhosts, contents, scoped);
            }
        } catch (vexception& e) {
            throw vexception(formatString(L"The journal %s cannot be restored: line %u: %s", file,
                                          static_cast<std::uint32_t>(number + 1), e.message()),
                             VSITE(readFunction));
        }
        begin = end + 2;
    }
    if (!scoped) {
        throw vexception(formatString(L"The journal %s names no scope", file),
                         VSITE(readFunction));
    }
    return contents;
}

void requireWithin(const JournalContents& contents, const VPath& directory,
                   const std::wstring& file) {
    auto require = [&](const VPath& path) {
        if (!path.isAtOrBelow(directory)) {
            throw vexception(formatString(L"The journal %s cannot be restored: the path %s lies "
                                          L"outside %s, the directory of its scope",
                                          file, path.shown(), directory.shown()),
                             VSITE("Tavrel::requireWithin"));
        }
    };
    for (const auto& object : contents.objects) {
        require(object.path);
    }
    for (const auto& metadata : contents.metadata) {
        require(metadata.path);
    }
}

void restoreJournal(const std::wstring& file, const JournalContents& contents,
                    const VPath& scopeDirectory, bool checkOnly, RunJournal& journal) {
    LogManager& log = LogManager::instance();
    if (checkOnly) {
        for (auto it = contents.objects.rbegin(); it != contents.objects.rend(); ++it) {
            Platform::writeStdout(
                Platform::toUtf8(it->path.shownText() + L"\t" + it->sddl + L"\n"));
        }
        for (const auto& metadata : contents.metadata) {
            Platform::writeStdout(Platform::toUtf8(
                metadata.path.shownText() + L"\t" +
                (metadata.kept.empty() ? L"(removed)" : L"(metadata " + metadata.kept + L")") +
                L"\n"));
        }
        return;
    }
    WinSecurity::enableOwnershipPrivileges();
    HeldDirectory journals = journalFolder(file);
    HeldDirectory scope = HeldDirectory::open(scopeDirectory.shownText());
    std::size_t failed = 0;
    for (auto it = contents.objects.rbegin(); it != contents.objects.rend(); ++it) {
        Platform::UniqueHandle handle;
        try {
            handle = WinSecurity::openForDescriptorWrite(it->path.longForm());
        } catch (const vexception& e) {
            log.log(LogWarning, e);
            ++failed;
            continue;
        }
        // Not guarded: a restore that cannot journal what it replaces stops here.
        journal.record(it->path, handle.get());
        try {
            WinSecurity::setObjectDescriptor(handle.get(),
                                             WinSecurity::wholeDescriptorFromSddl(it->sddl));
            log.log(LogInfo, L"Restored the security of %s", it->path.shown());
        } catch (vexception& e) {
            e.add(VSITE_TEXT(L"security of " + it->path.shownText(), restoreFunction));
            log.log(LogWarning, e);
            ++failed;
        }
    }
    for (const auto& metadata : contents.metadata) {
        try {
            putBackMetadata(metadata, scope, journals, journal);
            log.log(LogInfo, L"Restored the metadata file %s", metadata.path.shown());
        } catch (vexception& e) {
            e.add(VSITE_TEXT(L"metadata file " + metadata.path.shownText(), restoreFunction));
            log.log(LogWarning, e);
            ++failed;
        }
    }
    if (failed != 0) {
        throw vexception(formatString(L"%u objects of the journal %s could not be restored; "
                                      L"the log names them",
                                      static_cast<std::uint32_t>(failed), file),
                         VSITE(restoreFunction));
    }
}

}  // namespace Tavrel
