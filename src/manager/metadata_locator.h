// Which metadata file governs which path, counted from a root of all webspaces: the answers of
// metadata_paths.h for one root and HTTPD_VHOSTS_D, read once, and the last answer kept, as a
// walk asks on every directory and the answer changes only from one webspace or web user to
// another.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "disksecurity/entry_template.h"
#include "runtime/vpath.h"

namespace Tavrel {

class MetadataLocator {
public:
    // The root is taken from HTTPD_VHOSTS_D on first use, unless one is set before.
    MetadataLocator() = default;

    // The directory from which the entries' sub paths count: while useConfiguredRoot is on and
    // no root was set, the first call fixes it to HTTPD_VHOSTS_D.
    const std::wstring& root();
    void setRoot(std::wstring path) { root_ = std::move(path); }
    void setUseConfiguredRoot(bool use) { useConfiguredRoot_ = use; }

    // The part of `fullPath` below root(), components joined by '\' ("" for the root itself);
    // with `firstComponentOnly` only its first component. Raises RootCorrelationException for a
    // path that is not the root or below it.
    std::wstring getRootRelativePath(const std::wstring& fullPath, bool firstComponentOnly);
    // The same for a path made already, whole, as a view into `path`.
    std::wstring_view relativeOf(const VPath& path);
    // The metadata file that governs `path`: the root's own ".Security", a web user's file for
    // a path in W\web_users\U (letter case of "web_users" ignored), else the webspace's file.
    const std::wstring& metadataFileFor(const VPath& path);
    // The directory `entries` cover: from the first entry with a sub path, root()\W or
    // root()\W\web_users\U; root() when no entry has one.
    std::wstring scopeOf(const DiskSecurity::EntryTemplateSet& entries);

    // base\W\.tarno\.Security (base\.Security for an empty W) and base\W\.tarno\.Web.U.Security;
    // an empty base is HTTPD_VHOSTS_D.
    static std::wstring domainMetadataFile(const std::wstring& webspace, const std::wstring& base);
    static std::wstring webUserMetadataFile(const std::wstring& webspace,
                                            const std::wstring& webUser, const std::wstring& base);

private:
    std::wstring root_;
    bool useConfiguredRoot_ = true;
    // root() made once, with the text it was made of: a walk compares every directory with it.
    VPath rootPath_;
    std::wstring rootPathOf_;
    // HTTPD_VHOSTS_D, read once: a walk asks for it on every directory.
    std::wstring vhosts_;
    // The last metadata file looked up, with what it depended on.
    struct Lookup {
        std::wstring owner;
        std::wstring root;
        std::wstring base;
        std::wstring file;
    };
    std::optional<Lookup> last_;
};

}  // namespace Tavrel
