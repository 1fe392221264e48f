#include "manager/metadata_locator.h"

#include "manager/metadata_paths.h"
#include "runtime/config.h"

namespace Tavrel {
namespace {

// `base`, or HTTPD_VHOSTS_D when it is empty.
std::wstring orVhosts(const std::wstring& base) {
    return base.empty() ? panelParameter(L"HTTPD_VHOSTS_D") : base;
}

}  // namespace

const std::wstring& MetadataLocator::root() {
    if (useConfiguredRoot_ && root_.empty()) {
        root_ = panelParameter(L"HTTPD_VHOSTS_D");
    }
    return root_;
}

std::wstring MetadataLocator::getRootRelativePath(const std::wstring& fullPath,
                                                  bool firstComponentOnly) {
    return MetadataPaths::getRootRelativePath(fullPath, root(), firstComponentOnly);
}

std::wstring_view MetadataLocator::relativeOf(const VPath& path) {
    const std::wstring& top = root();
    if (rootPath_.empty() || rootPathOf_ != top) {
        rootPath_ = VPath(top);
        rootPathOf_ = top;
    }
    std::optional<std::wstring_view> relative = path.below(rootPath_);
    if (!relative) {
        throw RootCorrelationException(
            L"Invalid full path '" + path.shownText() + L"' and root '" + top + L"' correlation.",
            VSITE("Tavrel::SecurityManager::getRootRelativePath"));
    }
    return *relative;
}

const std::wstring& MetadataLocator::metadataFileFor(const VPath& path) {
    std::wstring_view relative = relativeOf(path);
    // The root's own file lies in the root; only the files of webspaces and web users count
    // from HTTPD_VHOSTS_D, which is asked for them alone.
    if (!relative.empty() && vhosts_.empty()) {
        vhosts_ = panelParameter(L"HTTPD_VHOSTS_D");
    }
    std::wstring owner = MetadataPaths::metadataOwner(relative);
    const std::wstring& top = root();
    static const std::wstring none;
    const std::wstring& base = relative.empty() ? none : vhosts_;
    if (!last_ || last_->owner != owner || last_->root != top || last_->base != base) {
        std::wstring file = MetadataPaths::metadataFileFor(owner, top, base);
        last_ = Lookup{std::move(owner), std::move(top), base, std::move(file)};
    }
    return last_->file;
}

std::wstring MetadataLocator::scopeOf(const DiskSecurity::EntryTemplateSet& entries) {
    for (const auto& entry : entries) {
        std::wstring scope = MetadataPaths::scopeOfSubPath(entry.subPath, root());
        if (!scope.empty()) {
            return scope;
        }
    }
    return root();
}

std::wstring MetadataLocator::domainMetadataFile(const std::wstring& webspace,
                                                 const std::wstring& base) {
    return MetadataPaths::domainMetadataFile(webspace, orVhosts(base));
}

std::wstring MetadataLocator::webUserMetadataFile(const std::wstring& webspace,
                                                  const std::wstring& webUser,
                                                  const std::wstring& base) {
    return MetadataPaths::webUserMetadataFile(webspace, webUser, orVhosts(base));
}

}  // namespace Tavrel
